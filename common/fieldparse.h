// Text-field parsing for the instrument's small text files: field parsers
// that take the next field of a line and explain a failure, a keyword
// comparison that ignores case, white space and colons, a white-space
// squeezer, console prompts and a file lister.
//
// Fields are split with the calling thread's tokenizer position: pass the
// line to take its first field and null to take each further one. A thread
// parses one line at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/compiler.h"

// A caller's text buffer for explanations: `size` bytes at `text`. Writers
// append within the capacity and always leave the text terminated; what does
// not fit is cut off.
struct UTextBuffer {
    char* text;
    std::size_t size;
};

// Makes the text empty. A null buffer, or one without storage, is ignored.
void u_text_clear(UTextBuffer* buffer);
// Appends formatted text. A null buffer, or one without storage, is ignored.
void u_text_append(UTextBuffer* buffer, const char* format, ...) PLAT_PRINTF_FORMAT(2, 3);

// The integer parser's bounds that mean "no bound", and its no-value mark.
constexpr int32_t U_FIELD_NO_LOW = INT32_MIN;
constexpr int32_t U_FIELD_NO_HIGH = INT32_MAX;
constexpr int32_t U_FIELD_NO_INT = INT32_MAX;

// The next token of the calling thread's line: `text` starts a line, null
// continues it. Delimiters default to " \t". Null when the line has no more.
char* u_next_token(char* text, const char* delimiters);

// Takes the next field as a decimal integer in [low, high] (U_FIELD_NO_LOW and
// U_FIELD_NO_HIGH mean no bound). With a keyword, a token that does not match
// it under strxcmp ends the parse with false and no explanation. On failure
// *value holds U_FIELD_NO_INT and `message` (optional) the two-line
// explanation; an empty or null description counts as none.
bool u_parse_int_field(char* text, const char* delimiters, const char* description, int32_t low,
                       int32_t high, const char* keyword, UTextBuffer* message, int32_t* value);

// The same for a floating-point field: -infinity and +infinity mean no bound,
// and +infinity is the no-value mark.
bool u_parse_double_field(char* text, const char* delimiters, const char* description, double low,
                          double high, const char* keyword, UTextBuffer* message, double* value);

// Takes the next field as a string of at most max_chars characters into
// `destination` (max_chars + 1 bytes). On failure the destination is empty.
bool u_parse_string_field(char* text, const char* delimiters, const char* description,
                          int max_chars, UTextBuffer* message, char* destination);

// Compares a text with a keyword with white space outside double quotes
// removed, letters upper-cased and, in the text only, colons taken as blanks:
// 0 when equal, -1 or +1 by the first differing byte (unsigned).
int strxcmp(const char* text, const char* keyword);

// Removes white space outside double quotes in place; returns the number of
// characters removed. A null text gives 0.
int u_squeeze_blanks(char* text);

// Console prompts: print the prompt (a printf format with the current value
// as its one argument) on standard output, read an answer line from standard
// input and return true when the value was changed. An empty answer or the
// end of input keeps the value.
bool u_prompt_double(const char* prompt, double* value);
bool u_prompt_float(const char* prompt, float* value);
bool u_prompt_int(const char* prompt, int32_t* value);
bool u_prompt_short(const char* prompt, int16_t* value);
bool u_prompt_yes_no(const char* prompt, bool* flag);  // the prompt's argument: 'y' or 'n'
// The answer, cut at its line end, is copied into buffer (size bytes) and
// always terminated within it.
bool u_prompt_string(const char* prompt, char* buffer, int size);

// Sends every line of a text file through u_msg_sink as "%s%s\n" with the
// prefix (none: empty) and the line; a line is listed with at most 511 of its
// characters. "Cannot read file %s\n" when it cannot be opened.
void u_list_file(const char* path, const char* prefix);

// Reads one line of a text file. The line end (LF, CR LF, or a CR at the end
// of the file) is not part of the line. At most size - 1 characters are kept
// in buffer (always terminated); *length receives the line's full length in
// characters and *has_end whether it ended with LF (both optional). False at
// the end of the file when nothing was read.
bool u_read_text_line(FILE* file, char* buffer, std::size_t size, std::size_t* length,
                      bool* has_end);
