#include "site_init.h"

#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>
#include <vector>

namespace server {
namespace {

constexpr int kFirstRoom = 101, kLastRoom = 120;

void Run(const std::vector<std::string> &argv) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("cannot start " + argv[0]);
    if (pid == 0) {
        std::vector<char *> a;
        for (auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 1);
        execvp(a[0], a.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string cmd;
        for (auto &s : argv) cmd += (cmd.empty() ? "" : " ") + s;
        throw std::runtime_error("failed: " + cmd);
    }
}

bool Executable(const std::string &p) { return access(p.c_str(), X_OK) == 0; }

}  // namespace

std::string FindTool(const std::string &configured, const std::string &self) {
    if (!configured.empty()) return configured;
    auto slash = self.rfind('/');
    if (slash != std::string::npos) {
        std::string beside = self.substr(0, slash + 1) + "kestrane";
        if (Executable(beside)) return beside;
    }
    return "kestrane";  // found on PATH by execvp
}

void InitSite(const std::string &dir, int encoders, int cards, const std::string &tool, const std::string &fias,
              const std::string &hotel) {
    std::string fiasHost, fiasPort;
    if (!fias.empty()) {
        auto colon = fias.rfind(':');
        fiasHost = colon == std::string::npos ? "" : fias.substr(0, colon);
        fiasPort = colon == std::string::npos ? "" : fias.substr(colon + 1);
        if (fiasHost.empty() || fiasPort.empty() || fiasPort.find_first_not_of("0123456789") != std::string::npos ||
            fiasPort.size() > 5 || std::stoi(fiasPort) < 1 || std::stoi(fiasPort) > 65535)
            throw std::runtime_error("--fias: HOST:PORT of the PMS interface, e.g. 10.0.0.5:5010");
    }
    struct stat st;
    if (::stat((dir + "/site.toml").c_str(), &st) == 0) throw std::runtime_error(dir + "/site.toml exists already");
    if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) throw std::runtime_error("cannot make " + dir);
    if (::mkdir((dir + "/state").c_str(), 0700) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot make " + dir + "/state");
    for (int i = 1; i <= encoders; ++i) {
        std::string bench = dir + "/desk" + std::to_string(i);
        Run({tool, "--bench", bench, "bench", "init", "--cards", std::to_string(cards), bench});
    }
    std::ofstream f(dir + "/site.toml");
    f << "# kestrane-server site file (made by kestrane-server init). Relative paths are taken\n"
         "# from this file's folder.\n\n"
         "[server]\nstate = \"state\"\ntimezone = \"UTC\"\nwait = 10\nexpiry = 20\n\n"
         "# Plain HTTP on loopback only; any other address needs cert and key.\n"
         "[[listen]]\naddress = \"127.0.0.1\"\nport = 8443\n\n"
         "[journal]\nkind = \"sqlite\"\n\n";
    for (int i = 1; i <= encoders; ++i)
        f << "[[encoder]]\nid = \"desk" << i << "\"\ndevices = \"bench\"\nbench = \"desk" << i << "\"\n\n";
    f << "# How a PMS's keys become guest cards: the option flag each kind of key sets (locks\n"
         "# read it as \"this card ends the room's earlier cards\"), a one-shot key's minutes,\n"
         "# the departure time when the PMS gives only the day, FIAS KO positions -> areas.\n"
         "[pms]\nnew_option = true\nduplicate_option = false\noneshot_option = false\noneshot_minutes = 60\n"
         "checkout_time = \"12:00\"\nkey_options = []\ndefault_areas = []\n\n"
         "# OPERA Cloud's room-key calls name this hotel id.\n[opera]\nhotel = \""
      << hotel << "\"\n\n";
    if (!fias.empty()) {
        f << "# The FIAS link to the PMS interface: encoder codes (KC) are the encoder ids;\n"
             "# workstation FD1 keys on desk1 when a request names no encoder.\n"
             "[[fias]]\nhost = \""
          << fiasHost << "\"\nport = " << fiasPort << "\nworkstations = { FD1 = \"desk1\" }\n\n";
    }
    f << "# PMS room name -> the lock numbers a guest card for it carries (at most 4).\n[rooms]\n";
    for (int r = kFirstRoom; r <= kLastRoom; ++r) f << '"' << r << "\" = [" << r << "]\n";
    f << "\n# Access area -> the card values that open it.\n[areas]\n";
    f.flush();
    if (!f) throw std::runtime_error("cannot write " + dir + "/site.toml");
}

}  // namespace server
