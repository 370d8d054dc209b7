#include "util/pattern.h"

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <regex>

#include "util/paths.h"
#include "util/sync.h"

namespace ksr {
namespace {

constexpr std::array<const wchar_t*, 9> kPatterns = {
    L"^[a-zA-Z ]+$",
    L"^[0-9\\-]+$",
    L"^\\d+$",
    L"^\\w+([-+.]\\w+)*@\\w+([-.]\\w+)*\\.\\w+([-.]\\w+)*$",
    L"^(((13[0-9]{1})|15[0-9]{1}|18[0-9]{1})+\\d{8})$",
    L"^(([0\\+]\\d{2,3}-)?(0\\d{2,3})-)?(\\d{7,8})(-(\\d{3,}))?$",
    L"^(([0\\+]\\d{2,3}-)?(0\\d{2,3}))?(\\d{7,8})(-(\\d{3,}))?$",
    L"['&%]",
    L"[?]",
};

// Patterns other than the table's are kept up to this many; more are compiled for each call.
constexpr size_t kCachedPatterns = 64;

using Compiled = std::shared_ptr<const std::wregex>;  // null for a pattern that does not compile

// The compiled pattern, built once: compiling costs far more than matching a folder name. A
// const regex may be searched by several threads at once.
Compiled CompiledPattern(const std::wstring& pattern) {
    static SrwMutex mutex;
    static std::map<std::wstring, Compiled, std::less<>> cache;
    {
        std::lock_guard lock(mutex);
        if (const auto found = cache.find(pattern); found != cache.end()) return found->second;
    }
    Compiled compiled;
    try {
        compiled = std::make_shared<const std::wregex>(pattern,
                                                       std::regex::ECMAScript | std::regex::icase);
    } catch (const std::exception&) {
        compiled = nullptr;
    }
    std::lock_guard lock(mutex);
    if (cache.size() < kCachedPatterns + kPatterns.size()) {
        return cache.emplace(pattern, std::move(compiled)).first->second;
    }
    return compiled;
}

}  // namespace

bool MatchesPattern(std::wstring_view text, std::wstring_view selector) {
    std::wstring pattern(selector);
    if (selector.size() == 1 && selector[0] >= L'0' && selector[0] <= L'8') {
        pattern = kPatterns[selector[0] - L'0'];
    }
    try {
        const Compiled re = CompiledPattern(pattern);
        if (!re) return false;
        const std::wstring trimmed = TrimBlanks(text);
        return std::regex_search(trimmed, *re);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace ksr
