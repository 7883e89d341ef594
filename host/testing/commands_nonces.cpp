// Commands that drive the nonce hook of the test DLL: nonces.
#include "../commands.h"
#include "../output.h"

#include <set>
#include <string>
#include <vector>

namespace {

int RunNonces(CommandContext &context);

const Command kCommands[] = {
    {L"nonces", "THREADS PER_THREAD", RunNonces},
};

constexpr DWORD kSlot = 32; // wide characters per nonce: room to spare

// nonces THREADS PER_THREAD: the library makes PER_THREAD nonces on each of
// THREADS threads at once; printed are how many it made, their length and how
// many of them differ.
int RunNonces(CommandContext &context) {
    unsigned long long threads = 0;
    unsigned long long perThread = 0;
    if (context.args.size() != 2 || !ParseUnsigned(context.args[0], threads) || threads == 0 || threads > 64 ||
        !ParseUnsigned(context.args[1], perThread) || perThread == 0 || perThread > 10000)
        return UsageError(kCommands[0]);
    const DebugMakeNoncesFn makeNonces = context.library.hooks.makeNonces;
    if (!HasExport(makeNonces, "VelmoraDebugMakeNonces")) return ExitFailure;

    const size_t total = static_cast<size_t>(threads * perThread);
    std::vector<wchar_t> nonces(total * kSlot, L'\0');
    const DWORD made = makeNonces(static_cast<DWORD>(threads), static_cast<DWORD>(perThread), kSlot, nonces.data());
    std::set<std::wstring> distinct;
    std::set<size_t> lengths;
    for (size_t i = 0; i < total; ++i) {
        const std::wstring nonce(nonces.data() + i * kSlot);
        if (nonce.empty()) continue;
        distinct.insert(nonce);
        lengths.insert(nonce.size());
    }
    std::vector<long long> lengthList(lengths.begin(), lengths.end());
    Event("result")
        .Text("export", "VelmoraDebugMakeNonces")
        .Unsigned("made", made)
        .NumberList("lengths", lengthList)
        .Unsigned("distinct", distinct.size())
        .Emit();
    return ExitOk;
}

} // namespace

std::span<const Command> NonceCommands() { return kCommands; }
