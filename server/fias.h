// The FIAS key link: records framed STX ... ETX over TCP to a PMS interface
// (which is the server; we connect), the link start and alive checks, and
// the key records: KR (make a key), KD (check-out), KZ (read a key), each
// answered once (KA, or KZ for KZ) with a status the PMS shows its user.
#pragma once

#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"

namespace server {

class Site;

namespace fias {

constexpr char kStx = 0x02, kEtx = 0x03;
// No valid record is longer; a longer one is refused unread.
constexpr size_t kMaxRecord = 2000;

// One record: its id and its fields in the order they came (field order is
// free in FIAS, and an id may in principle repeat: the first counts).
struct Record {
    std::string id;
    std::vector<std::pair<std::string, std::string>> fields;
    const std::string *Get(const std::string &field) const;
    std::string Value(const std::string &field) const;  // "" when absent
    Record &Add(const std::string &field, const std::string &value);
};

// "KA|ASOK|CTKey made|" -> Record; nullopt with `why` when malformed.
std::optional<Record> Parse(const std::string &text, std::string *why);
std::string Format(const Record &r);                 // the record's text, no framing
std::string Frame(const Record &r, bool lrc);        // STX text ETX [LRC]
uint8_t Lrc(const std::string &text);                // XOR of text and ETX

// Splits a byte stream into records. Bytes outside STX ... ETX are dropped;
// a record that runs past kMaxRecord is refused and skipped to the next STX.
class Framer {
public:
    explicit Framer(bool lrc) : lrc_(lrc) {}
    void Feed(const char *data, size_t n);
    // The next complete record's text; or an error text for one refused.
    struct Item {
        std::string text;
        std::string refused;  // why, when this item is a refused record
    };
    std::optional<Item> Next();

private:
    bool lrc_;
    std::string buf_;
};

// The link authentication's cryptogram for LD's CG field: AES-128-CBC with
// PKCS#7 of the last LS's DA and TI, a fresh IV each time.
// `key` is the vendor's base64 key ("FidCrypt0S|KEY" or just KEY).
std::optional<std::string> DecodeKey(const std::string &key);  // 16 raw bytes
std::string Cryptogram(const std::string &rawKey, const std::string &daTi, const std::string &iv);

// The records we serve, each announced by an LR at link start.
std::vector<Record> LinkRecords();

}  // namespace fias

// Runs every FIAS link the site file names; each reconnects on its own.
class FiasLinks {
public:
    FiasLinks(boost::asio::io_context &io, Site &site, const SiteConfig &config);
    ~FiasLinks();
    void Start();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace server
