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

void InitSite(const std::string &dir, int encoders, int cards, const std::string &tool) {
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
    f << "# PMS room name -> the lock numbers a guest card for it carries (at most 4).\n[rooms]\n";
    for (int r = kFirstRoom; r <= kLastRoom; ++r) f << '"' << r << "\" = [" << r << "]\n";
    f << "\n# Access area -> the card values that open it.\n[areas]\n";
    f.flush();
    if (!f) throw std::runtime_error("cannot write " + dir + "/site.toml");
}

}  // namespace server
