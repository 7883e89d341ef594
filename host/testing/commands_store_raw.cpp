// Commands that drive the credential store's test hook of the test DLL: store-raw.
#include "../commands.h"
#include "../output.h"

#include <string_view>
#include <vector>

namespace {

int RunStoreRaw(CommandContext &context);

const Command kCommands[] = {
    {L"store-raw", "token|secret HEX", RunStoreRaw},
};

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Pairs of hex digits to bytes; an empty text is no bytes. False on an odd
// count or any other character.
bool DecodeHex(std::wstring_view text, std::vector<BYTE> &bytes) {
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]);
        const int low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return true;
}

// store-raw token|secret HEX: the decoded bytes become the credential's plaintext.
int RunStoreRaw(CommandContext &context) {
    if (context.args.size() != 2) return UsageError(kCommands[0]);
    const std::wstring_view which = context.args[0];
    if (which != L"token" && which != L"secret") return UsageError(kCommands[0]);
    std::vector<BYTE> plaintext;
    if (!DecodeHex(context.args[1], plaintext)) return UsageError(kCommands[0]);
    const DebugStoreRawFn store = context.library.hooks.storeRawCredential;
    if (!HasExport(store, "VelmoraDebugStoreRawCredential")) return ExitFailure;

    const int result = store(which == L"secret" ? 1 : 0, plaintext.data(), static_cast<DWORD>(plaintext.size()));
    Event("result")
        .Text("export", "VelmoraDebugStoreRawCredential")
        .Number("return", result)
        .Text("credential", which == L"secret" ? "secret" : "token")
        .Unsigned("length", plaintext.size())
        .Emit();
    return ExitOk;
}

} // namespace

std::span<const Command> StoreRawCommands() { return kCommands; }
