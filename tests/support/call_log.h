// Questions the tests ask of the bench's call log (the vendor calls since it
// was last cleared).
#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kstest {

// The names of the calls, in order; given prefixes, only the calls whose
// name starts with one of them.
std::vector<std::string> CallNames(std::initializer_list<const char *> prefixes = {});
// The arguments of the first call of `fn` (none when it was not called).
std::vector<int64_t> FirstArgs(const std::string &fn);
// Argument `index` of every call of `fn`, in order.
std::vector<int64_t> ArgOfEach(const std::string &fn, size_t index);
// The bytes every call of `fn` carried, one after the other.
std::vector<uint8_t> DataOf(const std::string &fn);

}  // namespace kstest
