// Text that the tool shows or keeps on one line, whatever a user gave it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace wdt {

// Copies text into `shown` as one line: control characters as \xHH, cut with "..." when longer
// than the room there is.
void show(const char* text, char* shown, size_t size);

// The value of the line "Name: value" in a text of such lines, copied into value (cut where it does
// not fit); false when there is none.
bool field(const char* text, const char* name, char* value, size_t size);

// How long the UTF-8 sequence at `c` is, when it is a whole, well-formed one (no overlong form,
// no surrogate, nothing beyond U+10FFFF); 0 otherwise.
size_t utf8_sequence(const unsigned char* c);

// The value of an enum whose words, in its order, are `words`; `otherwise` for any other word.
template <typename Enum, size_t count>
Enum from_word(const char* word, const char* const (&words)[count], Enum otherwise = Enum{}) {
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(word, words[i]) == 0) return static_cast<Enum>(i);
    }
    return otherwise;
}

// "second" for one, "seconds" for any other count: "1 second", "2 seconds".
inline const char* seconds_word(long count) { return count == 1 ? "second" : "seconds"; }

// "YYYY-MM-DD hh:mm:ss UTC" for seconds since 1970.
void format_utc(int64_t seconds, char (&text)[64]);

// snprintf into out, cut where it does not fit: for lines whose end may be cut on purpose.
[[gnu::format(printf, 3, 4)]] void put(char* out, size_t size, const char* format, ...);

}  // namespace wdt
