/* Tests of PromptMatcher: same answers as std::regex_search, prompt behaviours, modes, window bound, crash safety. */
#include "promptmatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

using Mode = PromptMatcher::Mode;

// What the client did before PromptMatcher: std::regex_search over the whole
// output, or a plain substring search when std::regex rejects the pattern.
bool referenceSearch(const std::string& pattern, const std::string& text)
{
    try {
        return std::regex_search(text, std::regex(pattern, std::regex::ECMAScript));
    } catch (const std::regex_error&) {
        return text.find(pattern) != std::string::npos;
    }
}

// Readable form of arbitrary bytes for failure messages.
std::string show(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

const char* modeName(Mode m)
{
    switch (m) {
    case Mode::Literal: return "Literal";
    case Mode::Automaton: return "Automaton";
    default: return "Window";
    }
}

// Feeds `pieces` one by one and returns the answer after each.
std::vector<bool> feedAll(PromptMatcher& m, const std::vector<std::string>& pieces)
{
    std::vector<bool> answers;
    for (const std::string& p : pieces) answers.push_back(m.feed(p.data(), p.size()));
    return answers;
}

// ---------------------------------------------------------------------------
// Differential test against std::regex
// ---------------------------------------------------------------------------

// Random patterns over the syntax the parser accepts (and some it must
// reject or leave to std::regex), seeded so failures reproduce.
class PatternGen {
public:
    explicit PatternGen(std::uint32_t seed) : rng_(seed) {}

    std::string pattern()
    {
        groups_ = 0;
        std::string p = disjunction(0);
        if (chance(8)) p = mutate(p);  // mostly invalid
        return p;
    }

    // Up to `longest` bytes over the alphabet; mostly short ones.
    std::string subject(int longest)
    {
        static const char* const kAlphabet[] = {"\n", "\r", "", "\x80", " ", "#", ">", "a", "B", "_", "1", "-"};
        std::string s;
        int n = pick(chance(3) ? longest + 1 : std::min(longest, 12) + 1);
        for (int i = 0; i < n; ++i) {
            int k = pick(12);
            if (k == 2)
                s += '\0';
            else
                s += kAlphabet[k];
        }
        return s;
    }

    // A subject that often contains the pattern's own text, or a start of
    // it followed by the whole (partial overlaps), so that patterns taken
    // literally get hits too.
    std::string subjectWith(const std::string& pattern, int longest)
    {
        std::string s = subject(longest);
        if (pattern.empty() || !chance(3)) return s;
        std::string insert = pattern;
        if (chance(2)) {
            auto head = static_cast<std::size_t>(pick(static_cast<int>(pattern.size())));
            insert = pattern.substr(0, head) + pattern;
        }
        if (chance(4)) insert.pop_back();
        s.insert(static_cast<std::size_t>(pick(static_cast<int>(s.size()) + 1)), insert);
        return s;
    }

    // Cut points splitting `n` bytes into pieces (empty pieces allowed).
    std::vector<std::size_t> cuts(std::size_t n)
    {
        std::vector<std::size_t> c;
        int k = pick(5);
        for (int i = 0; i < k; ++i) c.push_back(static_cast<std::size_t>(pick(static_cast<int>(n) + 1)));
        std::sort(c.begin(), c.end());
        return c;
    }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    bool chance(int oneIn) { return pick(oneIn) == 0; }
    template <class T, std::size_t N>
    const T& oneOf(const T (&a)[N])
    {
        return a[pick(static_cast<int>(N))];
    }

    std::string disjunction(int depth)
    {
        std::string s = alternative(depth);
        while (chance(5)) s += "|" + alternative(depth);
        return s;
    }

    std::string alternative(int depth)
    {
        std::string s;
        for (int n = pick(depth == 0 ? 5 : 3); n > 0; --n) s += term(depth);
        return s;
    }

    std::string term(int depth)
    {
        if (chance(7)) {
            static const char* const kAssertions[] = {"^", "$", "\\b", "\\B"};
            if (depth < 2 && chance(6)) return std::string(chance(2) ? "(?=" : "(?!") + disjunction(depth + 1) + ")";
            return oneOf(kAssertions);
        }
        std::string a = atom(depth);
        if (chance(3)) a += quantifier();
        if (chance(12)) a += quantifier();
        return a;
    }

    std::string quantifier()
    {
        static const char* const kSimple[] = {"*", "+", "?"};
        std::string q;
        switch (pick(4)) {
        case 0: q = "{" + std::to_string(pick(3)) + "}"; break;
        case 1: q = "{" + std::to_string(pick(3)) + ",}"; break;
        case 2: {
            int lo = pick(3);
            q = "{" + std::to_string(lo) + "," + std::to_string(lo + pick(3)) + "}";
            break;
        }
        default: q = oneOf(kSimple);
        }
        if (chance(4)) q += "?";
        return q;
    }

    std::string hex2(unsigned v)
    {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%02X", v & 0xFFu);
        return buf;
    }

    // A byte value the subjects contain, most of the time.
    unsigned byteValue()
    {
        static const unsigned kBytes[] = {'\n', '\r', 0, 0x80, ' ', '#', '>', 'a', 'B', '_', '1', 'A', 'b', 0xFF, '\t'};
        return oneOf(kBytes);
    }

    std::string atom(int depth)
    {
        static const char* const kLiterals[] = {"a", "B", "_", "1", "#", ">", " ", "A",
                                                "b", "x", "]", "}", "\x80", "-", ","};
        static const char* const kEscapes[] = {"\\d", "\\D", "\\w", "\\W", "\\s", "\\S", "\\n", "\\t", "\\r", "\\f",
                                               "\\v", "\\0", "\\.", "\\*", "\\[", "\\]", "\\(", "\\)", "\\$", "\\^",
                                               "\\|", "\\?", "\\+", "\\{", "\\}", "\\\\", "\\/", "\\-", "\\#", "\\a",
                                               "\\ca", "\\cB", "\\c#", "\\c\\", "\\ "};
        switch (pick(12)) {
        case 0:
        case 1:
        case 2: return oneOf(kLiterals);
        case 3: return ".";
        case 4:
        case 5: return oneOf(kEscapes);
        case 6: return "\\x" + hex2(byteValue());
        case 7: return chance(4) ? "\\u01" + hex2(byteValue()) : "\\u00" + hex2(byteValue());
        case 8:
        case 9: return bracket();
        case 10:
            if (groups_ > 0 && chance(3)) return "\\" + std::to_string(1 + pick(groups_));
            [[fallthrough]];
        default:
            if (depth >= 3) return "a";
            if (chance(2)) return "(?:" + disjunction(depth + 1) + ")";
            ++groups_;
            return "(" + disjunction(depth + 1) + ")";
        }
    }

    std::string bracketChar()
    {
        static const char* const kChars[] = {"a", "B", "_", "1", "#", ">", " ", "z", "A", "\\n", "\\r", "\\b", "\\0",
                                             "\\]", "\\-", "\\\\", "^", "[", ".", "*", "$", "|", "(", ")", "\x80"};
        if (chance(5)) return "\\x" + hex2(byteValue());
        return oneOf(kChars);
    }

    std::string bracket()
    {
        static const char* const kClasses[] = {"\\d", "\\D", "\\w", "\\W", "\\s", "\\S", "[:alpha:]", "[:digit:]",
                                               "[:space:]", "[:upper:]", "[:punct:]", "[:w:]", "[:cntrl:]",
                                               "[:xdigit:]", "[:ALNUM:]", "[:print:]", "[:blank:]", "[:graph:]"};
        std::string s = chance(3) ? "[^" : "[";
        if (chance(8)) s += "]";
        if (chance(6)) s += "-";
        for (int n = pick(4); n > 0; --n) {
            switch (pick(4)) {
            case 0: s += oneOf(kClasses); break;
            case 1: s += bracketChar() + "-" + bracketChar(); break;
            default: s += bracketChar();
            }
        }
        if (chance(6)) s += "-";
        return s + "]";
    }

    // Breaks a pattern, usually into one std::regex rejects.
    std::string mutate(std::string p)
    {
        static const char* const kJunk[] = {"(", ")", "[", "]", "{", "}", "*", "\\", "{1", "[a-", "(?", "?", "+", "|"};
        std::size_t at = static_cast<std::size_t>(pick(static_cast<int>(p.size()) + 1));
        if (chance(3) && !p.empty()) {
            p.erase(std::min(at, p.size() - 1), 1);
        } else {
            p.insert(at, oneOf(kJunk));
        }
        return p;
    }

    std::mt19937 rng_;
    int groups_ = 0;
};

// std::regex_search with the pattern's default executor, the reference.
// Random patterns with several nested quantifiers make that backtracking
// executor exponential, so texts longer than kShortText are searched with
// the breadth-first (__polynomial) executor instead, which gives the same
// answer (ExecutorsAgreeOnWhetherAMatchExists checks that); patterns with
// back-references have only that executor and get short texts only.
class Reference {
public:
    static constexpr std::size_t kShortText = 16;

    explicit Reference(const std::string& pattern) : pattern_(pattern)
    {
        try {
            re_ = std::regex(pattern, std::regex::ECMAScript);
            valid_ = true;
            poly_ = std::regex(pattern, std::regex::ECMAScript | std::regex_constants::__polynomial);
            polyOk_ = true;
        } catch (const std::regex_error&) {
            // invalid, or (only the second) has back-references
        }
    }

    bool valid() const { return valid_; }
    bool polynomial() const { return polyOk_; }

    bool operator()(const std::string& text) const
    {
        if (!valid_) return text.find(pattern_) != std::string::npos;
        if (text.size() > kShortText && polyOk_) return std::regex_search(text, poly_);
        return std::regex_search(text, re_);
    }

    bool defaultExecutor(const std::string& text) const { return std::regex_search(text, re_); }
    bool polynomialExecutor(const std::string& text) const { return std::regex_search(text, poly_); }

private:
    std::string pattern_;
    std::regex re_, poly_;
    bool valid_ = false;
    bool polyOk_ = false;
};

TEST(PromptMatcherDifferentialTest, AgreesWithStdRegexOnRandomPatternsAndSplits)
{
    PatternGen gen(20240611);
    int failures = 0;
    int modes[3] = {0, 0, 0};
    for (int i = 0; i < 3000 && failures < 5; ++i) {
        const std::string pattern = gen.pattern();
        const Reference expectedFor(pattern);

        PromptMatcher m(pattern);
        ++modes[static_cast<int>(m.mode())];
        if (m.matched() != expectedFor("")) {
            ADD_FAILURE() << "empty output, pattern \"" << show(pattern) << "\" mode " << modeName(m.mode());
            ++failures;
            continue;
        }

        const bool backtrackingOnly = expectedFor.valid() && !expectedFor.polynomial();
        const std::string subject =
            backtrackingOnly ? gen.subject(int{Reference::kShortText}) : gen.subjectWith(pattern, 150);
        const std::vector<std::size_t> cuts = gen.cuts(subject.size());
        std::size_t from = 0;
        bool expected = false;
        for (std::size_t k = 0; k <= cuts.size(); ++k) {
            std::size_t to = k < cuts.size() ? cuts[k] : subject.size();
            expected = expected || expectedFor(subject.substr(0, to));
            bool got = m.feed(subject.data() + from, to - from);
            if (got != expected || m.matched() != expected) {
                std::string split;
                for (std::size_t c : cuts) split += std::to_string(c) + " ";
                ADD_FAILURE() << "pattern \"" << show(pattern) << "\" mode " << modeName(m.mode()) << "\nsubject \""
                              << show(subject) << "\"\ncuts [" << split << "] after piece " << k << " (bytes 0.."
                              << to << "): got " << got << ", std::regex says " << expected;
                ++failures;
                break;
            }
            from = to;
        }
        EXPECT_EQ(PromptMatcher::search(pattern, subject), expectedFor(subject))
            << "one-shot, pattern \"" << show(pattern) << "\" subject \"" << show(subject) << "\"";
    }
    // The generator must reach every mode, or the comparison proves little.
    EXPECT_GT(modes[static_cast<int>(Mode::Literal)], 50);
    EXPECT_GT(modes[static_cast<int>(Mode::Automaton)], 1000);
    EXPECT_GT(modes[static_cast<int>(Mode::Window)], 50);
}

// The differential test's reference relies on this for longer texts.
TEST(PromptMatcherDifferentialTest, ExecutorsAgreeOnWhetherAMatchExists)
{
    PatternGen gen(99);
    for (int i = 0; i < 1500; ++i) {
        const std::string pattern = gen.pattern();
        const Reference ref(pattern);
        if (!ref.polynomial()) continue;
        const std::string subject = gen.subject(int{Reference::kShortText});
        for (std::size_t n = 0; n <= subject.size(); ++n) {
            std::string text = subject.substr(0, n);
            ASSERT_EQ(ref.defaultExecutor(text), ref.polynomialExecutor(text))
                << "pattern \"" << show(pattern) << "\" text \"" << show(text) << "\"";
        }
    }
}

// ---------------------------------------------------------------------------
// Named behaviours
// ---------------------------------------------------------------------------

struct Case {
    const char* name;
    std::string pattern;
    std::vector<std::string> pieces;
    std::vector<bool> answers;  // expected answer after each piece
};

const std::string kNul(1, '\0');

const std::vector<Case>& behaviourCases()
{
    static const std::vector<Case> cases = {
        {"single hash", "#", {"show version\n", "router#"}, {false, true}},
        {"prompt at end", "[>#]\\s*$", {"show run\n", "router# "}, {false, true}},
        {"text after prompt", "[>#]\\s*$", {"router# show", " run\n"}, {false, false}},
        {"prompt then text then prompt", "[>#]\\s*$", {"a> b\n", "router>"}, {false, true}},
        {"case sensitive", "router#", {"Router#", "ROUTER#"}, {false, false}},
        {"case sensitive hit", "Router#", {"xx Router#"}, {true}},
        {"unclosed bracket is literal", "[", {"abc", "a[b"}, {false, true}},
        {"unclosed bracket literal straddles", "host[1", {"host", "[", "1"}, {false, false, true}},
        {"literal overlapping itself", "aa[", {"a", "aa", "["}, {false, false, true}},
        {"literal restarts mid-way", "ab(ab", {"abab", "(a", "b"}, {false, false, true}},
        {"dot is any byte", "a.c", {"abc"}, {true}},
        {"dot not newline", "a.c", {"a\nc"}, {false}},
        {"dot not carriage return", "a.c", {"a\rc"}, {false}},
        {"dot matches NUL", "a.c", {"a" + kNul + "c"}, {true}},
        {"empty pattern", "", {""}, {true}},
        {"prompt split in two", "router#", {"rou", "ter#"}, {false, true}},
        {"prompt split in bytes", "ab#", {"a", "b", "#"}, {false, false, true}},
        {"caret at very start", "^router#", {"router#"}, {true}},
        {"caret not after newline", "^router#", {"x\n", "router#"}, {false, false}},
        {"caret not at piece start", "^b", {"a", "b"}, {false, false}},
        {"dollar at current end only", "#$", {"router#", "more"}, {true, true}},
        {"dollar waits for the end", "a#$", {"a#b", "a#"}, {false, true}},
        {"word boundary at piece edge", "\\bOK\\b", {"x ", "OK", "!"}, {false, true, true}},
        {"no boundary inside a word", "\\bOK\\b", {"xO", "K", "!"}, {false, false, false}},
        {"boundary at end of output", "OK\\b", {"O", "K"}, {false, true}},
        {"not-boundary across pieces", "\\BK", {"O", "K"}, {false, true}},
        {"high bytes are not word", "\\bOK", {"\xe9", "OK"}, {false, true}},
        {"NUL bytes in output", "router#", {kNul + "rou" + kNul, "router#" + kNul}, {false, true}},
        {"NUL in pattern escape", "a\\0b", {"a", kNul + "b"}, {false, true}},
        {"NUL in pattern text", "a" + kNul + "b", {"a" + kNul, "b"}, {false, true}},
        {"range across 0x80 is signed", "[\\x80-a]#", {"b#", "\xff#"}, {false, true}},
        {"signed range takes low bytes", "[\\x80-a]#", {"1#"}, {true}},
        {"leading dash literal", "[-a]#", {"b#", "-#"}, {false, true}},
        {"TL1 completion", "^;$|\\n;\\s*$", {"M  0 COMPLD\n", ";"}, {false, true}},
        {"tl1 prompt lt", "<$", {"<", "x"}, {true, true}},
        {"word OK", "\\bOK\\b", {"NOK ", "OK\r\n"}, {false, true}},
        {"lookahead (window)", "#(?!x)", {"a#x", "b#"}, {false, true}},
        {"back-reference (window)", "(a)\\1#$", {"xa", "a#"}, {false, true}},
    };
    return cases;
}

TEST(PromptMatcherTest, NamedBehaviours)
{
    for (const Case& c : behaviourCases()) {
        SCOPED_TRACE(c.name);
        PromptMatcher m(c.pattern);
        std::vector<bool> got = feedAll(m, c.pieces);
        EXPECT_EQ(got, c.answers) << "pattern \"" << show(c.pattern) << "\"";
        // and each answer is what std::regex says of the output so far
        std::string whole;
        bool sticky = false;
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            whole += c.pieces[i];
            sticky = sticky || referenceSearch(c.pattern, whole);
            EXPECT_EQ(c.answers[i], sticky) << "table entry disagrees with std::regex after piece " << i;
        }
    }
}

TEST(PromptMatcherTest, EmptyOutputAnswerBeforeAnyFeed)
{
    struct {
        const char* pattern;
        bool matched;
    } const cases[] = {{"", true}, {"$", true}, {"^$", true}, {"a*", true}, {"#", false}, {"[", false}, {"\\b", false},
                       {"(?=)", true}, {"()\\1", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        PromptMatcher m(c.pattern);
        EXPECT_EQ(m.matched(), c.matched);
        EXPECT_EQ(m.matched(), referenceSearch(c.pattern, ""));
        EXPECT_EQ(m.feed("", 0), c.matched);
    }
}

TEST(PromptMatcherTest, StaysTrueOnceMatched)
{
    const std::pair<const char*, std::string> cases[] = {
        {"#\\s*$", "a# "}, {"(x)\\1#\\s*$", "xx# "}, {"[", "a[b"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        PromptMatcher m(c.first);
        EXPECT_TRUE(m.feed(c.second.data(), c.second.size()));
        EXPECT_TRUE(m.feed("tail\n", 5));
        EXPECT_TRUE(m.feed("", 0));
        EXPECT_TRUE(m.matched());
    }
}

TEST(PromptMatcherTest, MoveKeepsProgress)
{
    PromptMatcher a("router#");
    EXPECT_FALSE(a.feed("rou", 3));
    PromptMatcher b(std::move(a));
    EXPECT_TRUE(b.feed("ter#", 4));
    PromptMatcher c("x");
    c = std::move(b);
    EXPECT_TRUE(c.matched());
    EXPECT_EQ(c.mode(), Mode::Automaton);
}

// ---------------------------------------------------------------------------
// Mode selection
// ---------------------------------------------------------------------------

TEST(PromptMatcherModeTest, ModeFollowsPattern)
{
    const std::string deep = std::string(80, '(') + "a" + std::string(80, ')');
    struct {
        std::string pattern;
        Mode mode;
    } const cases[] = {
        {"router#", Mode::Automaton},
        {"[>#]\\s*$", Mode::Automaton},
        {".*#\\s*$", Mode::Automaton},
        {"^.*[>#] ?$", Mode::Automaton},
        {"\\bOK\\b", Mode::Automaton},
        {"", Mode::Automaton},
        {"\\u0041", Mode::Automaton},
        {"[\\x80-\\xff]{2,3}?", Mode::Automaton},
        {"[\\x80-a]", Mode::Automaton},  // signed range, valid
        {"[", Mode::Literal},
        {"a(b", Mode::Literal},
        {"*#", Mode::Literal},
        {"x{2,1}", Mode::Literal},
        {"[a-\\x80]", Mode::Literal},
        {"(a)\\2", Mode::Literal},
        {"a{200000}", Mode::Literal},  // beyond std::regex's own state limit
        {"(a)\\1", Mode::Window},
        {"(?=a)a", Mode::Window},
        {"(?!b)a", Mode::Window},
        {"[[.a.]]", Mode::Window},
        {"[[=a=]]", Mode::Window},
        {"\\u0141", Mode::Window},
        {"a{30000}", Mode::Window},  // beyond our NFA cap
        {"a{4294967297}", Mode::Window},  // libstdc++ truncates the count to 1
        {deep, Mode::Window},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.pattern));
        EXPECT_STREQ(modeName(PromptMatcher(c.pattern).mode()), modeName(c.mode));
    }
}

TEST(PromptMatcherModeTest, DeclinedSyntaxStillAnswersLikeStdRegex)
{
    const std::string deep = std::string(80, '(') + "a#" + std::string(80, ')');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[[.a.]]#", "xa#"}, {"[[=a=]]#", "b#"}, {"\\u0141#", "A#"}, {"\\u0141#", "B#"},
        {deep, "xa#"},       {"a{4294967297}#", "a#"}, {"a{4294967297}#", "#"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(show(c.first) + " on " + show(c.second));
        PromptMatcher m(c.first);
        EXPECT_EQ(m.feed(c.second.data(), c.second.size()), referenceSearch(c.first, c.second));
    }
}

// ---------------------------------------------------------------------------
// Window mode bound
// ---------------------------------------------------------------------------

// A match of these patterns runs from "aa" to the next '#'; the output is
// "aa", then `gap` filler bytes, then "#" in a piece of its own.
struct WindowBoundTest : ::testing::TestWithParam<const char*> {
    static bool answerWithGap(const char* pattern, std::size_t gap)
    {
        PromptMatcher m(pattern);
        EXPECT_EQ(m.mode(), Mode::Window);
        std::string first = "aa" + std::string(gap, 'b');
        EXPECT_FALSE(m.feed(first.data(), first.size()));
        return m.feed("#", 1);
    }
};

TEST_P(WindowBoundTest, MatchStartingInsideWindowIsFound)
{
    // "aa" is the first byte of the window: the kWindowBytes before "#"
    EXPECT_TRUE(answerWithGap(GetParam(), PromptMatcher::kWindowBytes - 2));
}

TEST_P(WindowBoundTest, MatchStartingBeforeWindowIsNotFound)
{
    // one byte further back than the window reaches: not found, although
    // the output "aa", b..b, "#" plainly has a match (std::regex itself
    // cannot be asked: its recursion over the b's overflows this stack)
    EXPECT_FALSE(answerWithGap(GetParam(), PromptMatcher::kWindowBytes - 1));
}

INSTANTIATE_TEST_SUITE_P(Executors, WindowBoundTest,
                         ::testing::Values("(a)\\1[^#]*#",      // back-reference: backtracking executor
                                           "(?=aa)a[^#]*#"));  // lookahead: breadth-first executor

TEST(PromptMatcherWindowTest, LargePieceIsSearchedInWindowSizedSteps)
{
    // A single piece longer than the window: the match near its start and
    // one near its end are both found.
    for (std::size_t at : {std::size_t{10}, 3 * PromptMatcher::kWindowBytes - 10}) {
        SCOPED_TRACE(at);
        std::string text(3 * PromptMatcher::kWindowBytes, 'b');
        text.replace(at, 5, "xx#\n ");
        PromptMatcher m("(x)\\1#");
        EXPECT_TRUE(m.feed(text.data(), text.size()));
    }
    // No false hit where an inner step of the piece ends with '#': neither
    // $ nor \B may hold there, since a 'z' follows in the output.
    std::string text(3 * PromptMatcher::kWindowBytes, 'z');
    text[PromptMatcher::kWindowBytes - 1] = '#';
    for (const char* pattern : {"#(?=)$", "#(?=)\\B", "(#)\\1?$", "(#)\\1?\\B"}) {
        SCOPED_TRACE(pattern);
        EXPECT_FALSE(referenceSearch(pattern, text));
        PromptMatcher m(pattern);
        EXPECT_EQ(m.mode(), Mode::Window);
        EXPECT_FALSE(m.feed(text.data(), text.size()));
    }
}

TEST(PromptMatcherWindowTest, CaretAndBoundaryStayRightAtWindowEdge)
{
    // The window before "z" starts at the 'x', which follows a 'y': neither
    // ^ nor \b holds there.
    std::string first = std::string(10, 'y') + "x" + std::string(PromptMatcher::kWindowBytes - 1, 'y');
    for (const char* pattern : {"^xy(?=)", "\\bxy(?=)", "^()\\1xy", "\\b()\\1xy"}) {
        SCOPED_TRACE(pattern);
        EXPECT_FALSE(referenceSearch(pattern, first + "z"));
        PromptMatcher m(pattern);
        EXPECT_EQ(m.mode(), Mode::Window);
        EXPECT_FALSE(m.feed(first.data(), first.size()));
        EXPECT_FALSE(m.feed("z", 1));
    }
}

// ---------------------------------------------------------------------------
// Crash safety and linear cost on long lines
// ---------------------------------------------------------------------------

// Feeds `text` in `piece`-byte pieces; returns the answers before the last
// piece and after it.
std::pair<bool, bool> feedInPieces(PromptMatcher& m, const std::string& text, std::size_t piece)
{
    bool before = false;
    std::size_t off = 0;
    for (; off + piece < text.size(); off += piece) before = m.feed(text.data() + off, piece) || before;
    return {before, m.feed(text.data() + off, text.size() - off)};
}

TEST(PromptMatcherCrashTest, LongSingleLineFinishesWithTheRightAnswer)
{
    const std::size_t kLine = 1 << 20;
    struct {
        const char* pattern;
        char last;     // last byte of the 1 MB line
        bool answer;   // std::regex's answer, by reasoning: the line ends with "aa" + last
    } const cases[] = {
        {".*#\\s*$", '#', true},
        {".*#\\s*$", 'a', false},
        {"^.*[>#] ?$", '>', true},
        {"(a)\\1#$", '#', true},
        {"(a)\\1#$", 'a', false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " ending in " + c.last);
        std::string line(kLine, 'a');
        line.back() = c.last;
        PromptMatcher m(c.pattern);
        auto answers = feedInPieces(m, line, 4096);
        EXPECT_FALSE(answers.first);
        EXPECT_EQ(answers.second, c.answer);
    }
}

TEST(PromptMatcherCrashTest, WholeMegabyteInOnePiece)
{
    std::string line(1 << 20, 'x');
    line += "router#";
    for (const char* pattern : {".*#\\s*$", "x+router#$", "\\bx*\\B"}) {
        SCOPED_TRACE(pattern);
        EXPECT_TRUE(PromptMatcher::search(pattern, line));
    }
}

TEST(PromptMatcherTest, SkippingAheadAdaptsToTheText)
{
    // While nothing is under way the automaton skips to the next 'a' or
    // 'b'; where those are frequent it stops skipping, where they are rare
    // again it keeps stepping. Answers are checked after every piece.
    std::mt19937 rng(11);
    std::string text = "#";
    for (int stretch = 0; stretch < 12; ++stretch) {
        unsigned every = stretch % 2 == 0 ? 3 : 200;  // dense, then sparse
        for (int i = 0; i < 20000; ++i) {
            unsigned r = rng() % every;
            text += r == 0 ? "ab"[rng() % 2] : r == 1 ? '#' : 'x';
        }
    }
    // no match before the tail: "ab#" and "ba#" lose their '#'
    for (std::size_t i = 2; i < text.size(); ++i)
        if (text[i] == '#' && text[i - 1] != text[i - 2] && text[i - 1] != 'x' && text[i - 1] != '#' &&
            text[i - 2] != 'x' && text[i - 2] != '#')
            text[i] = 'x';
    for (const char* tail : {"ba#", "ab#"}) {
        SCOPED_TRACE(tail);
        const std::string t = text + tail;
        // "^x" never matches here (the text starts with '#') but makes the
        // start state differ from the one that skips; the last pattern has
        // too many byte classes for the pair table.
        for (const char* pattern : {"ab#", "(ab|ba)#", "^x|ab#", "^x|ab#|cdefghijklmnopqrstuvwxyz0123456789"}) {
            SCOPED_TRACE(pattern);
            const bool both = pattern[0] == '(';
            PromptMatcher m(pattern);
            for (std::size_t off = 0; off < t.size(); off += 4096) {
                std::size_t end = std::min(t.size(), off + 4096);
                bool expected = end == t.size() && (both || std::string(tail) == "ab#");
                ASSERT_EQ(m.feed(t.data() + off, end - off), expected) << "piece ending at " << end;
            }
        }
    }
}

TEST(PromptMatcherCrashTest, AutomatonWithManyStatesStaysExact)
{
    // [ab]*a[ab]{14}# makes a DFA of 2^15 states over a/b text, more than
    // the transition cache holds; it is emptied and rebuilt as it goes.
    // Frequent '#'s that do not match (the letter 15 before is 'b') catch a
    // state that comes out wrong after the cache is emptied.
    const char* pattern = "[ab]*a[ab]{14}#";
    std::mt19937 rng(7);
    std::string text;
    while (text.size() < 400000) {
        text += (rng() & 1) ? 'a' : 'b';
        if (text.size() > 16 && rng() % 8 == 0 && text[text.size() - 15] == 'b') text += '#';
    }
    const std::size_t pos = text.size() - 15;
    text[pos] = 'b';
    text += '#';
    PromptMatcher m(pattern);
    EXPECT_EQ(m.mode(), Mode::Automaton);
    auto answers = feedInPieces(m, text, 4096);
    EXPECT_FALSE(answers.first);
    EXPECT_FALSE(answers.second);
    // with 'a' there the last '#' matches
    text[pos] = 'a';
    PromptMatcher m2(pattern);
    answers = feedInPieces(m2, text, 4096);
    EXPECT_FALSE(answers.first);
    EXPECT_TRUE(answers.second);
}

}  // namespace
