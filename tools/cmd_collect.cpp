// collect, pda: the open-door log and the hand-held collector.
#include <CLI/CLI.hpp>

#include <array>

#include "kestrane.h"
#include "tool.h"

namespace tool {
namespace {

// The record area has 200 slots; more answers than that mean a library fault.
constexpr int kMaxRecords = 200;
constexpr int kLastCollectorYear = 2099;

void RunCollect(const Context &ctx) {
    PublishBenchFolder(ctx);
    EncoderSession encoder(ctx);
    ctx.Waiting("asking the hand-held collector for its log; without one, reading the data card on the " +
                encoder.Describe());
    Check("ReadDataCard", ReadDataCard(0), "fetching the open-door log");
    Value rows = Value::List();
    int header = 0;
    std::array<int16_t, 6> headerList{};
    for (int n = 0; n < kMaxRecords; ++n) {
        std::array<int16_t, 1> head{}, kind{};
        std::array<int16_t, 6> list{};
        std::array<int16_t, 5> time{};
        std::array<int16_t, 4> card{};
        std::array<int16_t, 8> unused{};  // arguments 2 to 4 are not used; pass storage all the same
        const int16_t result = ReadOneOpenDoorRecord(head.data(), unused.data(), unused.data(), unused.data(),
                                                     list.data(), kind.data(),
                                                     time.data(), card.data());
        if (result == KS_ERR_NO_RECORD) break;
        Check("ReadOneOpenDoorRecord", result, "reading the open-door records");
        header = head[0];
        headerList = list;
        char when[40];
        std::snprintf(when, sizeof when, "%04d-%02d-%02d %02d:%02d", time[0], time[1], time[2], time[3], time[4]);
        uint8_t bytes[4];
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(card[i]);
        Value row = Value::Object();
        row.Set("n", Value::Int(n + 1));
        row.Set("kind", Value::Int(kind[0]));
        row.Set("time", Value::Text(when));
        row.Set("card", Value::Text(HexBytes(bytes, 4, "")));
        rows.Push(row);
    }
    Value r = Value::Object();
    r.Set("command", Value::Text("collect"));
    r.Set("ok", Value::Bool(true));
    r.Set("count", Value::Int(static_cast<int64_t>(rows.Items().size())));
    r.Set("header", Value::Int(header));
    r.Set("header_list", Value::IntList(std::vector<int16_t>(headerList.begin(), headerList.begin() + 2)));
    r.Set("records", rows);
    ctx.Emit(r);
}

struct PdaTimeOptions {
    bool now = false;
    std::string time;
};

void RunPdaTime(const Context &ctx, const PdaTimeOptions &o) {
    if (o.now && !o.time.empty()) throw UsageError("--now: give either --now or a TIME, not both");
    const CardTime t = o.time.empty() ? NowTime() : ParseTime("TIME", o.time, true);
    // The collector takes the year as two BCD digits after 2000.
    if (t.year > kLastCollectorYear)
        throw UsageError("TIME: the collector keeps years 2000 to " + std::to_string(kLastCollectorYear) + " only");
    std::array<int16_t, 6> values = {static_cast<int16_t>(t.year), static_cast<int16_t>(t.month),
                                     static_cast<int16_t>(t.day), static_cast<int16_t>(t.hour),
                                     static_cast<int16_t>(t.minute), static_cast<int16_t>(t.second)};
    PublishBenchFolder(ctx);
    ctx.Waiting("looking for the hand-held collector on the USB bus and setting its clock");
    Check("PDA_SetTime", PDA_SetTime(values.data()), "setting the collector's clock");
    Value r = Value::Object();
    r.Set("command", Value::Text("pda time"));
    r.Set("ok", Value::Bool(true));
    r.Set("time", Value::Text(FormatTime(t, true)));
    ctx.Emit(r);
}

void RunPdaRoom(const Context &ctx, const std::vector<std::string> &numbers) {
    std::string joined;
    for (const std::string &n : numbers) joined += n + ",";
    const std::vector<int> bytes = ParseNumberList("NUMBERS", joined, 10, 0, 255);
    std::array<int16_t, 10> values{};
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int16_t>(bytes[i]);
    PublishBenchFolder(ctx);
    ctx.Waiting("looking for the hand-held collector on the USB bus and handing it the room number");
    Check("PDA_SetRoomNumber", PDA_SetRoomNumber(values.data()), "setting the collector's room number");
    Value r = Value::Object();
    r.Set("command", Value::Text("pda room"));
    r.Set("ok", Value::Bool(true));
    r.Set("room", Value::IntList(bytes));
    ctx.Emit(r);
}

}  // namespace

void AddCollectCommands(CLI::App &app, std::shared_ptr<Context> ctx) {
    app.add_subcommand("collect", "fetch the open-door log (collector first, else the data card) and list it")
        ->callback([ctx] { RunCollect(*ctx); });
    CLI::App *pda = app.add_subcommand("pda", "talk to the hand-held collector");
    pda->require_subcommand(1);
    auto timeOptions = std::make_shared<PdaTimeOptions>();
    CLI::App *time = pda->add_subcommand("time", "set the collector's clock");
    time->add_flag("--now", timeOptions->now, "use this computer's clock (the default)");
    time->add_option("TIME", timeOptions->time, "YYYY-MM-DD HH:MM:SS");
    time->callback([ctx, timeOptions] { RunPdaTime(*ctx, *timeOptions); });
    auto numbers = std::make_shared<std::vector<std::string>>();
    CLI::App *room = pda->add_subcommand("room", "hand the collector a room number (up to ten bytes)");
    room->add_option("NUMBERS", *numbers, "up to ten byte values, e.g. 1,0,1 or 1 0 1")->required();
    room->callback([ctx, numbers] { RunPdaRoom(*ctx, *numbers); });
}

}  // namespace tool
