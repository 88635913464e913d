/* Benchmark of PromptMatcher on router output, and of re-running std::regex_search after each piece. */
#include "promptmatcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <regex>
#include <string>

namespace {

// About `bytes` of show-command output in lines of ~70 characters,
// followed by `prompt`. The body has no '#' or '>': with "$" meaning the
// current end of the output, a piece ending right after one would already
// match, and the benchmark would stop early.
std::string routerOutput(std::size_t bytes, const std::string& prompt)
{
    static const char* const kLines[] = {
        "GigabitEthernet0/%d is up, line protocol is up (connected)          \r\n",
        "  Hardware is Gigabit Ethernet, address is 0011.22%02d.4455 (bia 0011)\r\n",
        "  5 minute input rate %d000 bits/sec, 12 packets/sec, 0 drops/sec   \r\n",
        "     %d packets input, 1073741824 bytes, 0 no buffer, 0 runts, 0 giants\r\n",
        "O    10.%d.0.0/16 [110/2] via 192.168.1.1, 00:01:02, GigabitEthernet0/1\r\n",
        " description uplink %d to core-switch, do not shut (ticket 12345)   \r\n",
        "B *  172.16.%d.0/24 [20/0] via 10.0.0.2, eth0, weight 1, 3d01h22m     \r\n",
    };
    std::mt19937 rng(1);
    std::string out;
    out.reserve(bytes + 128);
    char line[128];
    while (out.size() < bytes) {
        unsigned k = rng() % 100;
        const char* fmt = kLines[k < 90 ? k % 5 : 5 + k % 2];
        std::snprintf(line, sizeof line, fmt, static_cast<int>(rng() % 48));
        out += line;
    }
    return out + prompt;
}

constexpr std::size_t kOutputBytes = 20u << 20;

// Feeds the whole output in pieces of state.range(0) bytes; only the last
// piece may (and, if `expected`, must) give a match.
void feedPieces(benchmark::State& state, const std::string& pattern, const std::string& output, bool expected)
{
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    PromptMatcher::Mode mode = PromptMatcher::Mode::Literal;
    std::int64_t fed = 0;
    for (auto _ : state) {
        PromptMatcher m(pattern);
        mode = m.mode();
        bool answer = false;
        std::size_t off = 0;
        for (; off < output.size() && !answer; off += piece)
            answer = m.feed(output.data() + off, std::min(piece, output.size() - off));
        fed += static_cast<std::int64_t>(std::min(off, output.size()));
        if (answer != expected || off < output.size()) {
            state.SkipWithError(answer ? "matched before the prompt" : "wrong answer");
            return;
        }
        benchmark::DoNotOptimize(answer);
    }
    state.SetBytesProcessed(fed);
    state.SetLabel(mode == PromptMatcher::Mode::Automaton ? "automaton"
                   : mode == PromptMatcher::Mode::Window  ? "window"
                                                          : "literal");
}

void BM_Feed(benchmark::State& state, const char* pattern, const char* prompt, bool expected)
{
    static std::string cachedPrompt;
    static std::string output;
    if (output.empty() || cachedPrompt != prompt) {
        cachedPrompt = prompt;
        output = routerOutput(kOutputBytes, prompt);
    }
    feedPieces(state, pattern, output, expected);
}

BENCHMARK_CAPTURE(BM_Feed, router_hash, "router#", "\r\nrouter#", true)->Arg(4096)->Arg(32768);
BENCHMARK_CAPTURE(BM_Feed, prompt_at_end, "[>#]\\s*$", "\r\nrouter# ", true)->Arg(4096)->Arg(32768);
BENCHMARK_CAPTURE(BM_Feed, dotstar_hash_at_end, ".*#\\s*$", "\r\nrouter#", true)->Arg(4096)->Arg(32768);
// Without multiline, ^ is the start of the whole output: over many lines
// this pattern cannot match, which the automaton sees after the first line.
BENCHMARK_CAPTURE(BM_Feed, anchored_line, "^.*[>#] ?$", "\r\nrouter>", false)->Arg(4096)->Arg(32768);
// A longer host name: more byte classes (17 here) for the automaton.
BENCHMARK_CAPTURE(BM_Feed, long_hostname, "core-switch-amsterdam01#", "\r\ncore-switch-amsterdam01#", true)
    ->Arg(4096)
    ->Arg(32768);
// Every state has many ways out (any letter starts or extends a match), so
// nothing is skipped: one table step per byte, the automaton's base rate.
BENCHMARK_CAPTURE(BM_Feed, byte_by_byte, "[a-z]+[>#] ?$", "\r\nrouter# ", true)->Arg(4096)->Arg(32768);
// std::regex rejects it (unclosed group): searched as text.
BENCHMARK_CAPTURE(BM_Feed, literal_mode, "router(config)#(", "\r\nrouter(config)#(", true)
    ->Arg(4096)
    ->Arg(32768);

// Window mode (lookahead) for scale, over a smaller output: std::regex over
// each piece plus the 64 KiB before it.
void BM_FeedWindow(benchmark::State& state)
{
    static const std::string output = routerOutput(1u << 20, "\r\nrouter# ");
    feedPieces(state, "[>#](?=\\s*$)", output, true);
}
BENCHMARK(BM_FeedWindow)->Arg(4096)->Arg(32768)->Unit(benchmark::kMillisecond);

// What PromptMatcher replaces, on 256 KB: std::regex_search over the whole
// output after every 4 KiB piece ...
constexpr std::size_t kSmallOutput = 256u << 10;

void BM_RescanStdRegex(benchmark::State& state)
{
    static const std::string output = routerOutput(kSmallOutput, "\r\nrouter# ");
    const std::regex re("[>#]\\s*$", std::regex::ECMAScript);
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        bool answer = false;
        for (std::size_t end = piece; !answer; end += piece) {
            end = std::min(end, output.size());
            answer = std::regex_search(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(end), re);
            if (end == output.size()) break;
        }
        if (!answer) {
            state.SkipWithError("wrong answer");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * output.size()));
}
BENCHMARK(BM_RescanStdRegex)->Arg(4096)->Unit(benchmark::kMillisecond);

// ... and PromptMatcher on the same output.
void BM_PromptMatcherSmall(benchmark::State& state)
{
    static const std::string output = routerOutput(kSmallOutput, "\r\nrouter# ");
    feedPieces(state, "[>#]\\s*$", output, true);
}
BENCHMARK(BM_PromptMatcherSmall)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace
