// Grapheme cluster splitting with ICU.
#include "TolvaCore/Graphemes.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <openssl/crypto.h>
#include <unicode/brkiter.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

namespace tolva {

std::vector<std::string> graphemes(std::string_view utf8) {
    std::vector<std::string> clusters;
    if (utf8.empty())
        return clusters;
    // The text may be a typed PIN or password: it is turned into UTF-16 in a buffer of ours,
    // wiped when done, rather than in ICU's own buffers, which are freed as they are.
    std::vector<UChar> utf16;
    std::vector<std::size_t> offsets; // UTF-8 offset of each UTF-16 unit, and of the end
    utf16.reserve(utf8.size() + 1);
    offsets.reserve(utf8.size() + 1);
    const auto* bytes = reinterpret_cast<const uint8_t*>(utf8.data());
    const auto length = static_cast<int32_t>(utf8.size());
    for (int32_t at = 0; at < length;) {
        const int32_t begin = at;
        UChar32 c;
        U8_NEXT(bytes, at, length, c);
        if (c < 0)
            c = 0xFFFD;
        UChar units[2];
        int32_t count = 0;
        U16_APPEND_UNSAFE(units, count, c);
        for (int32_t i = 0; i < count; ++i) {
            utf16.push_back(units[i]);
            offsets.push_back(static_cast<std::size_t>(begin));
        }
    }
    offsets.push_back(utf8.size());
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    UText* text = utext_openUChars(nullptr, utf16.data(), static_cast<int64_t>(utf16.size()), &status);
    if (U_FAILURE(status) || !it) {
        utext_close(text);
        // Without ICU data every byte sequence still has to come back whole.
        clusters.emplace_back(utf8);
    } else {
        it->setText(text, status);
        int32_t start = it->first();
        for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
            const std::size_t from = offsets[static_cast<std::size_t>(start)];
            const std::size_t to = offsets[static_cast<std::size_t>(end)];
            clusters.emplace_back(utf8.substr(from, to - from));
        }
        it.reset();
        utext_close(text);
    }
    OPENSSL_cleanse(utf16.data(), utf16.capacity() * sizeof(UChar));
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
