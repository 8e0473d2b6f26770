// The site file: everything a site's server is told, validated whole before
// anything starts, so a wrong file never half-starts a server.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace server {

struct Listener {
    std::string address = "127.0.0.1";
    uint16_t port = 8443;
    std::string cert, key;  // PEM files; both or neither
    bool insecure = false;  // plain HTTP on an address other than loopback, said in every log line
    bool Tls() const { return !cert.empty(); }
};

struct EncoderConfig {
    std::string id;
    std::string devices = "bench";  // "bench" or "pcsc"
    std::string bench;              // bench folder (devices = bench)
    std::string config;             // INI file for EncodeInit (pcsc; optional for bench)
    std::string reader;             // PC/SC reader name (devices = pcsc), handed to the worker
};

struct Limits {
    size_t body = 64 * 1024;      // bytes of a request body
    int header_timeout = 5;       // seconds to receive a request's header
    int read_timeout = 10;        // seconds to receive a whole request
    int idle_timeout = 30;        // seconds a kept-alive connection may sit idle
    int rate = 600;               // requests per token per minute
    size_t queue = 32;            // jobs waiting per encoder
};

struct JournalConfig {
    std::string kind = "sqlite";  // or "postgres"
    std::string url;              // libpq connection string (postgres)
    std::string sync = "full";    // SQLite: "full" (survives power loss) or "normal"
    // PostgreSQL: the name this site's jobs carry in a database that many
    // sites share. Default: the name of the site file's folder.
    std::string site;
};

// How a PMS's key requests become guest cards ([pms]).
struct PmsConfig {
    // The card's option flag for each kind of key: locks read it as "this
    // card ends the room's earlier cards", which a new key does.
    bool new_option = true, duplicate_option = false, oneshot_option = false;
    int oneshot_minutes = 60;             // a one-shot key's validity when the PMS names no end
    std::string checkout_time = "12:00";  // departure time when the PMS names only the day
    std::vector<std::string> key_options; // FIAS KO position n (from 1) -> access area
    std::vector<std::string> default_areas;  // areas a key opens unless the PMS turns them off
};

// OPERA Cloud's room-key calls ([opera]).
struct OperaConfig {
    std::string hotel = "HOTEL1";                   // the hotelId its calls name
    std::map<std::string, std::string> terminals;  // encoderTerminal -> encoder id
};

// One FIAS link to a PMS interface ([[fias]]): we connect, it serves.
struct FiasConfig {
    std::string name;  // for the log: fias1, fias2, ...
    std::string host;
    uint16_t port = 0;
    std::string key;            // the link authentication key (base64 AES-128), empty: none
    bool lrc = false;           // an LRC byte after each ETX (serial links have it, TCP not)
    int alive_check = 300;      // seconds between our link alive checks (LS)
    std::map<std::string, std::string> encoders;      // KC -> encoder id (default: the id itself)
    std::map<std::string, std::string> workstations;  // WS -> encoder id, when KC names none
};

// The front-desk console: how long a signed-in session may sit idle, and the
// property's usual arrival and departure times the guest card form starts with.
struct ConsoleConfig {
    int idle_timeout = 30 * 60;       // seconds
    std::string arrival = "14:00";    // HH:MM, today
    std::string departure = "12:00";  // HH:MM, the next day
};

struct SiteConfig {
    std::string path;  // the site file itself
    std::string dir;   // its folder: relative paths are taken from here
    std::string state = "state";
    std::string timezone = "UTC";
    std::string worker;        // the kestrane tool; empty: beside kestrane-server, else PATH
    double wait = 10;          // seconds a request waits for its job before it answers 202
    double expiry = 20;        // seconds a job may wait for its encoder before it expires
    double job_timeout = 30;   // seconds a running job may take before its worker is replaced
    std::vector<Listener> listeners;
    std::vector<std::string> cors_origins;
    Limits limits;
    JournalConfig journal;
    ConsoleConfig console;
    std::vector<EncoderConfig> encoders;
    std::map<std::string, std::vector<int>> rooms;  // PMS room name -> lock numbers
    std::map<std::string, std::vector<int>> areas;  // access area -> card values
    PmsConfig pms;
    OperaConfig opera;
    std::vector<FiasConfig> fias;

    std::string StateDir() const;
    std::string Resolve(const std::string &p) const;  // relative to the site folder
    const EncoderConfig *Encoder(const std::string &id) const;
};

// What is wrong with a site file: where, which key, why.
struct ConfigProblem {
    int line = 0;     // 0: not tied to a line
    std::string key;  // dotted path, e.g. encoder[2].bench
    std::string message;
    std::string Text(const std::string &file) const;
};

// Loads and validates the file; every problem found is listed (the site
// then does not start). `config` is filled only when `problems` is empty.
std::vector<ConfigProblem> LoadSiteConfig(const std::string &path, SiteConfig &config);

bool IsLoopback(const std::string &address);

}  // namespace server
