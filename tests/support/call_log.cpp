#include "call_log.h"

#include "bench.h"

namespace kstest {

std::vector<std::string> CallNames(std::initializer_list<const char *> prefixes) {
    std::vector<std::string> names;
    for (const bench::Call &c : bench::CallLog()) {
        bool wanted = prefixes.size() == 0;
        for (const char *p : prefixes) wanted = wanted || c.fn.rfind(p, 0) == 0;
        if (wanted) names.push_back(c.fn);
    }
    return names;
}

std::vector<int64_t> FirstArgs(const std::string &fn) {
    for (const bench::Call &c : bench::CallLog())
        if (c.fn == fn) return c.args;
    return {};
}

std::vector<int64_t> ArgOfEach(const std::string &fn, size_t index) {
    std::vector<int64_t> values;
    for (const bench::Call &c : bench::CallLog())
        if (c.fn == fn) values.push_back(c.args.at(index));
    return values;
}

std::vector<uint8_t> DataOf(const std::string &fn) {
    std::vector<uint8_t> bytes;
    for (const bench::Call &c : bench::CallLog())
        if (c.fn == fn) bytes.insert(bytes.end(), c.data.begin(), c.data.end());
    return bytes;
}

}  // namespace kstest
