// A command that goes on with an upload session the service already holds: put-from.
#include "../commands.h"
#include "../host_message_decoder.h"
#include "../message_pump.h"
#include "../output.h"

namespace {

int RunPutFrom(CommandContext &context);

const Command kCommands[] = {
    {L"put-from", "UPLOAD_ID OFFSET REMOTE LOCAL", RunPutFrom},
};

// put-from UPLOAD_ID OFFSET REMOTE LOCAL: uploads LOCAL to REMOTE as put does,
// but its chunk loop starts at OFFSET in the session UPLOAD_ID, which the
// service holds up to there (the test DLL's VelmoraDebugUploadFrom).
int RunPutFrom(CommandContext &context) {
    unsigned long long offset = 0;
    if (context.args.size() != 4 || !ParseUnsigned(context.args[1], offset)) return UsageError(kCommands[0]);
    const DebugUploadFromFn uploadFrom = context.library.hooks.uploadFrom;
    if (!HasExport(uploadFrom, "VelmoraDebugUploadFrom")) return ExitFailure;
    OperationVariables variables;
    variables.startTick = GetTickCount64();
    int returned = -1;
    const int exitCode = RunOperation(context, variables, [&](HWND window) {
        returned = uploadFrom(window, context.args[2], context.args[3], &variables.resultByte, &variables.cancelByte,
                              context.args[0], offset);
        return returned == 0;
    });
    EndProgressLine(variables);
    Event("result")
        .Text("export", "VelmoraDebugUploadFrom")
        .Number("return", returned)
        .Number("result_byte", variables.resultByte)
        .Emit();
    if (exitCode != ExitOk) return exitCode;
    return returned == 0 && variables.resultByte == 1 ? ExitOk : ExitFailure;
}

} // namespace

std::span<const Command> ResumeCommands() { return kCommands; }
