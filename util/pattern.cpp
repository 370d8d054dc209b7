#include "util/pattern.h"

#include <array>
#include <regex>

#include "util/paths.h"

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

}  // namespace

bool MatchesPattern(std::wstring_view text, std::wstring_view selector) {
    std::wstring pattern(selector);
    if (selector.size() == 1 && selector[0] >= L'0' && selector[0] <= L'8') {
        pattern = kPatterns[selector[0] - L'0'];
    }
    try {
        const std::wregex re(pattern, std::regex::ECMAScript | std::regex::icase);
        const std::wstring trimmed = TrimBlanks(text);
        return std::regex_search(trimmed, re);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace ksr
