/* promptmatcher - incremental search for a device prompt in a growing output. */
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// Answers, after each piece of a command's output, whether the output
// received so far contains a match of the prompt pattern: the same answer
// std::regex_search would give over the whole output with the ECMAScript
// grammar, default flags and the default locale. A pattern that std::regex
// rejects is looked for literally instead.
//
// Unlike re-running std::regex over the whole output after every piece, the
// cost is linear in the output size, and nothing a device sends can make the
// search recurse (std::regex's backtracking executor recurses once per input
// character and overflows the stack on long lines).
class PromptMatcher {
public:
    // How the pattern is searched.
    enum class Mode {
        Literal,    // std::regex rejected the pattern: plain substring search
        Automaton,  // our own linear automaton: exact, no bound
        Window,     // constructs the automaton lacks (back-references,
                    // lookahead): std::regex over a bounded window
    };

    // In Window mode a match is found when it starts within the last
    // kWindowBytes bytes that preceded the newest piece, or inside it.
    static constexpr std::size_t kWindowBytes = 64 * 1024;

    // Never throws for a bad pattern (that is Literal mode); may throw
    // std::bad_alloc.
    explicit PromptMatcher(const std::string& pattern);
    ~PromptMatcher();
    PromptMatcher(const PromptMatcher&) = delete;
    PromptMatcher& operator=(const PromptMatcher&) = delete;
    PromptMatcher(PromptMatcher&&) noexcept;
    PromptMatcher& operator=(PromptMatcher&&) noexcept;

    // Appends the next piece of output (any bytes, NUL included) and returns
    // whether the output so far contains a match. Once true it stays true.
    bool feed(const char* data, std::size_t size);

    // Whether the output fed so far matches; before any feed, the answer for
    // the empty text.
    bool matched() const noexcept;

    Mode mode() const noexcept;

    // One-shot: whether `text` contains a match of `pattern`.
    static bool search(const std::string& pattern, const std::string& text);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
