// Grapheme cluster splitting with ICU.
#include "TolvaCore/Graphemes.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

namespace tolva {

std::vector<std::string> graphemes(std::string_view utf8) {
    std::vector<std::string> clusters;
    if (utf8.empty())
        return clusters;
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        utext_close(text);
        // Without ICU data every byte sequence still has to come back whole.
        clusters.emplace_back(utf8);
        return clusters;
    }
    it->setText(text, status);
    // With UTF-8 UText the boundaries are byte offsets.
    int32_t start = it->first();
    for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next())
        clusters.emplace_back(
            utf8.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    utext_close(text);
    return clusters;
}

std::string_view graphemePrefix(std::string_view utf8, std::size_t count) {
    if (utf8.empty() || count == 0)
        return utf8.substr(0, 0);
    UErrorCode status = U_ZERO_ERROR;
    UText* text = utext_openUTF8(nullptr, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !it) {
        utext_close(text);
        return utf8.substr(0, std::min(utf8.size(), count)); // bytes, without ICU data
    }
    it->setText(text, status);
    std::size_t end = utf8.size();
    if (int32_t boundary = it->next(static_cast<int32_t>(std::min<std::size_t>(count, INT32_MAX)));
        boundary != icu::BreakIterator::DONE)
        end = static_cast<std::size_t>(boundary);
    utext_close(text);
    return utf8.substr(0, end);
}

std::size_t graphemeCount(std::string_view utf8) {
    return graphemes(utf8).size();
}

char32_t firstCodePoint(std::string_view utf8) {
    if (utf8.empty())
        return 0;
    int32_t offset = 0;
    UChar32 c;
    U8_NEXT(reinterpret_cast<const uint8_t*>(utf8.data()), offset, static_cast<int32_t>(utf8.size()), c);
    return c < 0 ? U'\uFFFD' : static_cast<char32_t>(c);
}

} // namespace tolva
