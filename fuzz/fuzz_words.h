// Turns a fuzz input into command-line words: split at NUL bytes, appended
// to the words already in `words` until there are max_words.
#ifndef FUZZ_WORDS_H
#define FUZZ_WORDS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

inline std::vector<std::string> split_words(const std::uint8_t *data, std::size_t size, std::size_t max_words,
                                            std::vector<std::string> words = {})
{
    std::string cur;
    for (std::size_t i = 0; i < size && words.size() < max_words; ++i) {
        if (data[i] == 0) {
            words.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    if (words.size() < max_words)
        words.push_back(cur);
    return words;
}

// The words as a null-terminated argv, each word in an allocation of its
// own, so that a read past a word's end or past the list is caught;
// free_argv gives them back.
inline std::vector<char *> separate_argv(const std::vector<std::string> &words)
{
    std::vector<char *> argv;
    for (const auto &w : words) {
        char *copy = static_cast<char *>(std::malloc(w.size() + 1));
        std::memcpy(copy, w.c_str(), w.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);
    return argv;
}

inline void free_argv(std::vector<char *> &argv)
{
    for (char *p : argv)
        std::free(p);
    argv.clear();
}

#endif
