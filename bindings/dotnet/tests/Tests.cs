// The .NET binding against libkestrane.so and the bench folder named by
// KESTRANE_BENCH (made by the test driver with `kestrane bench ...`).
// Usage: mono Tests.exe DES2_VECTORS            the suite
//        mono Tests.exe --password              prints the system password card's Pass
//        mono Tests.exe --encoder-state         one encoder state: replacing an encoder, a path outside ASCII
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using Kestrane;

static class Tests
{
    static int failures;
    static readonly DateTime Start = new DateTime(2026, 3, 1, 14, 0, 0), End = new DateTime(2026, 3, 3, 12, 0, 0);
    static string Config { get { return Path.Combine(Environment.GetEnvironmentVariable("KESTRANE_BENCH"), "config.ini"); } }

    static void Case(string name, Action body)
    {
        try { body(); Console.WriteLine("ok   " + name); }
        catch (Exception e) { failures++; Console.WriteLine("FAIL " + name + ": " + e); }
    }

    static void Expect(bool ok, string what) { if (!ok) throw new Exception(what); }

    static object Padded(object v)
    {
        var a = v as int[];
        return a == null ? v : a.Concat(Enumerable.Repeat(0, 4 - a.Length)).ToArray();
    }

    static bool Same(object a, object b)
    {
        var x = a as int[];
        var y = b as int[];
        if (x != null && y != null) return x.SequenceEqual(y);
        return Equals(a, b);
    }

    // Kind, how it is issued, and the issued fields the card carries back.
    static readonly Tuple<CardKind, Func<Encoder, string>, Dictionary<string, object>>[] Issues =
    {
        Row(CardKind.Guest, e => e.IssueGuest(Start, End, new[] { 101, 102 }, new[] { 7, 32767 }, new[] { 1, 2, 3, 255 }, true),
            "Rooms", new[] { 101, 102 }, "ExtValues", new[] { 7, 32767 }, "ExtBytes", new[] { 1, 2, 3, 255 }, "Option", true),
        Row(CardKind.Time, e => e.IssueTime(new DateTime(2026, 3, 1, 9, 30, 45)), "Time", (DateTime?)new DateTime(2026, 3, 1, 9, 30, 45)),
        Row(CardKind.Emergency, e => e.IssueEmergency(Start, End)),
        Row(CardKind.Floor, e => e.IssueFloor(Start, End, new[] { 1, 2, 3 }, 9, new[] { 4 }, new[] { 5 }),
            "Floors", new[] { 1, 2, 3 }, "Number", 9, "ExtBytes", new[] { 5 }),
        Row(CardKind.CleanDistrict, e => e.IssueCleanDistrict(Start, End, new[] { 8, 9 }, new[] { 1, 2, 3, 4 }), "Districts", new[] { 8, 9 }),
        Row(CardKind.Building, e => e.IssueBuilding(Start, End, new[] { 2 }, new[] { 99, 12 }, new[] { 300 }), "Buildings", new[] { 2 }),
        Row(CardKind.LongOpen, e => e.IssueLongOpen(Start, End, new[] { 9, 8 }), "ExtBytes", new[] { 9, 8 }),
        Row(CardKind.Chief, e => e.IssueChief(Start, End, true), "Option", true),
        Row(CardKind.Install, e => e.IssueInstall(Start, End, 3, 305, 6, 7), "Number", 3, "Room", 305, "ListA", 6, "ListB", 7),
        Row(CardKind.Lost, e => e.IssueLost(Start, End, 20, new[] { 1, 2, 3, 4 })),
        Row(CardKind.Data, e => e.IssueData(Start, End)),
        Row(CardKind.GuestLeave, e => e.IssueGuestLeave(Start, End)),
    };

    static Tuple<CardKind, Func<Encoder, string>, Dictionary<string, object>> Row(CardKind kind, Func<Encoder, string> issue, params object[] fields)
    {
        var d = new Dictionary<string, object>();
        if (kind != CardKind.Time) { d["Start"] = (DateTime?)Start; d["End"] = (DateTime?)End; }
        for (int i = 0; i < fields.Length; i += 2) d[(string)fields[i]] = Padded(fields[i + 1]);
        return Tuple.Create(kind, issue, d);
    }

    static string Tool(params string[] args)
    {
        var p = Process.Start(new ProcessStartInfo(Environment.GetEnvironmentVariable("KESTRANE_TOOL"), "--json " + string.Join(" ", args))
        { UseShellExecute = false, RedirectStandardOutput = true, RedirectStandardError = true });
        string output = p.StandardOutput.ReadToEnd();
        p.WaitForExit();
        return output;
    }

    static string Json(string report, string key) { return Regex.Match(report, "\"" + key + "\":\"?([^,\"}]*)").Groups[1].Value; }

    static int Main(string[] args)
    {
        if (args.Length == 1 && args[0] == "--password")
        {
            using (var enc = new Encoder(Config)) Console.WriteLine(enc.ReadSystemPassword().Pass);
            return 0;
        }
        if (args.Length == 1 && args[0] == "--encoder-state")
        {
            // On a contact encoder's bench, whose port EncodeExit closes.
            Case("a replaced encoder's Dispose leaves the newer one open", () =>
            {
                var older = new Encoder(Config);
                using (var newer = new Encoder(Config))
                {
                    older.Dispose();
                    Expect(newer.Clear() != null, "the newer encoder was closed");
                    try { new Encoder(Config).Dispose(); newer.Clear(); throw new Exception("a replaced encoder still ran"); }
                    catch (ObjectDisposedException) { }
                }
            });

            Case("a config path outside ASCII is the file opened", () =>
            {
                string folder = Path.Combine(Path.GetTempPath(), "kestrane-Empfang-\u00fc-\u043a\u043b\u044e\u0447-" + Process.GetCurrentProcess().Id);
                Directory.CreateDirectory(folder);
                try
                {
                    File.Copy(Config, Path.Combine(folder, "config.ini"), true);
                    using (var enc = new Encoder(Path.Combine(folder, "config.ini"))) Expect(enc.Port == 3, "port " + enc.Port);
                }
                finally { Directory.Delete(folder, true); }
            });

            Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
            return failures == 0 ? 0 : 1;
        }
        using (var enc = new Encoder(Config))
        {
            Case("the encoder reports its port", () => Expect(enc.Port == 3, "port " + enc.Port));
            foreach (var row in Issues)
                Case("issue, read and clear a " + row.Item1.ToolName() + " card", () =>
                {
                    string serial = row.Item2(enc);
                    Card card = enc.Read();
                    Expect(card.Kind == row.Item1 && card.TypeCode == (int)row.Item1 && card.Serial == serial, "kind or serial " + card.Kind + " " + card.Serial);
                    foreach (var f in row.Item3)
                        Expect(Same(card.GetType().GetProperty(f.Key).GetValue(card, null), f.Value), f.Key + " differs");
                    Expect(enc.Clear() == serial && enc.Read() is ClearedCard, "not cleared");
                });

            Case("the caller's values are unchanged after an issue", () =>
            {
                DateTime s = Start, e = End;
                int[] rooms = { 101, 102 };
                enc.IssueGuest(s, e, rooms);
                var card = (GuestCard)enc.Read();
                enc.Clear();
                Expect(s == Start && e == End && rooms.SequenceEqual(new[] { 101, 102 }), "caller's values changed");
                Expect(card.Start == Start && card.End == End, "times came back as " + card.Start + " " + card.End);
            });

            Case("a card not cleared is refused with KS_ERR_NOT_CLEARED", () =>
            {
                enc.IssueChief(Start, End);
                try { enc.IssueGuest(Start, End, new[] { 1 }); throw new Exception("no exception"); }
                catch (KestraneException e)
                {
                    Expect(e.Code == -13 && e.Name == "KS_ERR_NOT_CLEARED" && e.Function == "MakeGuestCard", e.Message);
                    Expect(e.Meaning == ResultCodes.Table[-13].Value && e.Message.Contains("0xFFF3"), e.Message);
                }
                finally { enc.Clear(); }
            });

            Case("bad values are refused before the library runs", () =>
            {
                Action[] bad =
                {
                    () => enc.IssueGuest(Start, End, new int[0]),
                    () => enc.IssueGuest(Start, End, new[] { 1, 2, 3, 4, 5 }),
                    () => enc.IssueGuest(Start, End, new[] { 40000 }),
                    () => enc.IssueChief(End, Start),
                    () => enc.IssueChief(new DateTime(1999, 1, 1), End),
                    () => enc.IssueLost(Start, End, 3, new[] { 1 }),
                    () => enc.IssueBuilding(Start, End, new[] { 1 }, new[] { 100 }),
                };
                foreach (Action a in bad)
                {
                    try { a(); throw new Exception("accepted"); } catch (ArgumentException) { }
                }
                Expect(enc.Read() is ClearedCard, "the card was written");
            });

            Case("collect returns the collector's log", () =>
            {
                var got = enc.CollectOpenDoorRecords().Select(r => r.N + " " + r.Kind + " " + (r.Time.HasValue ? r.Time.Value.ToString("yyyy-MM-dd HH:mm")
                    : string.Format("{0:D4}-{1:D2}-{2:D2} {3:D2}:{4:D2}", r.RawTime[0], r.RawTime[1], r.RawTime[2], r.RawTime[3], r.RawTime[4]))
                    + " " + r.Card + (r.Time.HasValue ? "" : " no-date"));
                string expected = Environment.GetEnvironmentVariable("KESTRANE_EXPECTED_RECORDS");
                Expect(string.Join(";", got) == expected, string.Join(";", got) + " != " + expected);
            });

            Case("serials match the tool's", () =>
            {
                string serial = enc.IssueChief(Start, End);
                enc.Clear();
                Expect(Encoder.MifareSerial(3) == serial && serial == Json(Tool("serial", "mifare", "--port", "3"), "serial"), "mifare serial");
                string rom = Tool("serial", "ibutton", "--port", "1");
                IButtonRom ours = Encoder.IButtonRom(1);
                Expect(ours.RomId == Json(rom, "rom_id") && ours.Serial == Json(rom, "serial") && ours.Family.ToString() == Json(rom, "family")
                       && ours.Crc.ToString() == Json(rom, "crc"), "ibutton rom " + ours.RomId);
            });
        }

        Case("records taken before a failure come with the exception", () =>
        {
            // Two records, then KS_ERR_HOST, as a bridge whose host died mid-drain answers.
            int calls = 0;
            Encoder.RecordCall source = (h, u2, u3, u4, headerList, kind, time, card) =>
            {
                if (++calls > 2) return -15;
                kind[0] = (short)(calls + 2);
                card[0] = (short)calls;
                return ResultCodes.Ok;
            };
            try { Encoder.DrainRecords(source); throw new Exception("no exception"); }
            catch (KestraneException e)
            {
                Expect(e.Name == "KS_ERR_HOST" && string.Join(",", e.Records.Select(r => r.N + ":" + r.Kind + ":" + r.Card)) == "1:3:01000000,2:4:02000000",
                       string.Join(",", e.Records.Select(r => r.N + ":" + r.Kind + ":" + r.Card)));
            }
        });

        Case("Des2 known answers", () =>
        {
            // Des2's lines are "data | result"; the engine's have a key in front.
            foreach (string line in File.ReadAllLines(args[0]).Where(l => !l.StartsWith("#") && l.Split('|').Length == 2))
            {
                byte[][] v = line.Split('|').Select(h => h.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries).Select(b => Convert.ToByte(b, 16)).ToArray()).ToArray();
                Expect(Encoder.Des2Encrypt(v[0]).SequenceEqual(v[1]), "encrypt " + line);
                Expect(v[0].Length % 8 != 0 || Encoder.Des2Decrypt(v[1]).SequenceEqual(v[0]), "decrypt " + line);
            }
        });

        Case("the collector takes its time and rooms", () =>
        {
            Encoder.SetCollectorTime(new DateTime(2026, 4, 5, 6, 7, 8));
            Encoder.SetCollectorRooms(1, 0, 1);
            string shown = Tool("bench", "collector", "show");
            Expect(Json(shown, "clock") == "2026-04-05 06:07:08" && Json(shown, "room") == "01 00 01 00 00 00 00 00 00 00", shown);
        });

        Console.WriteLine(failures == 0 ? "all passed" : failures + " failed");
        return failures == 0 ? 0 : 1;
    }
}
