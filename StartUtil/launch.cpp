// The launch both systems share: the text's UTF-8 form, the echo, the start, the failure line and
// the outcome. Each system's file only creates the process and words its failures.
#include <cstring>

#include "failure_line.h"
#include "launcher.h"
#include "output.h"
#include "step_marks.h"
#include "utf8.h"

namespace {

constexpr std::string_view kEmbeddedNul = "the text holds a NUL character";
constexpr std::string_view kBlank = "the command is blank";

// A command line of white space alone, or an empty path, names no program: saying so is clearer
// than the system's "not found". A path of spaces may name a file, so only an empty one counts.
bool isBlank(LaunchMode mode, std::u16string_view text) {
    if (mode == LaunchMode::ProgramPath) return text.empty();
    return text.find_first_not_of(u" \t") == std::u16string_view::npos;
}

void refuse(Refusal why, std::string_view message, SystemFailure& failure) {
    failure.code = systemCode(why);
    failure.messageSize =
        message.empty() ? systemMessage(failure.code, failure.message) : message.size();
    if (!message.empty()) std::memcpy(failure.message, message.data(), message.size());
}

// The echo: the text exactly, with nothing added, whole and at once.
void echo(std::string_view utf8) {
    writeStandard(StandardStream::Output, utf8);
}

// Nothing started: the failure line goes into the outcome, and to standard error unless the
// caller alone hears of it.
void fail(FailureSubject subject, const SystemFailure& failure, Reporting reporting,
          LaunchOutcome& outcome) {
    outcome.pid = 0;
    outcome.code = failure.code;
    outcome.lineSize = formatFailureLine(subject, failure.text(), failure.code, outcome.line);
    if (reporting == Reporting::StandardStreams) writeFailureLine(outcome.line, outcome.lineSize);
}

class HeldCallerState {
  public:
    HeldCallerState() { holdCallerState(state_); }
    ~HeldCallerState() { restoreCallerState(state_); }
    HeldCallerState(const HeldCallerState&) = delete;
    HeldCallerState& operator=(const HeldCallerState&) = delete;

  private:
    CallerState state_;
};

}  // namespace

void invokeNonBlocking(const LaunchRequest& request, Reporting reporting,
                       LaunchOutcome& outcome) noexcept {
    HeldCallerState callerState;
    STARTUTIL_STEP(0);
    SystemFailure failure;
    if (request.text == nullptr) {
        refuse(request.uncopied ? Refusal::NoMemory : Refusal::InvalidText, {}, failure);
        FailureSubject subject{nullptr, request.length, request.uncopied};
        return fail(subject, failure, reporting, outcome);
    }
    std::u16string_view whole(request.text, request.length);
    FailureSubject subject{request.text, request.length};
    // One UTF-8 form of the text as the system would see it, up to a NUL: the echo writes it and
    // Linux's plan is made from it.
    Utf8Text command = toUtf8Text(request.text);
    if (command.bytes == nullptr) {
        refuse(Refusal::NoMemory, {}, failure);
        return fail(subject, failure, reporting, outcome);
    }
    if (reporting == Reporting::StandardStreams) echo(command.view());
    STARTUTIL_STEP(1);
    if (whole.find(u'\0') != std::u16string_view::npos) {
        refuse(Refusal::InvalidText, kEmbeddedNul, failure);
        return fail(subject, failure, reporting, outcome);
    }
    outcome.pid = createDetached(request.mode, request.text, command.view(), failure);
    if (outcome.pid != 0) return;
    if (isBlank(request.mode, whole)) {
        std::memcpy(failure.message, kBlank.data(), kBlank.size());
        failure.messageSize = kBlank.size();
    }
    fail(subject, failure, reporting, outcome);
}

void invokeNonBlocking(LaunchMode mode, TerminatedUtf16 text) noexcept {
    std::size_t length = text != nullptr ? std::char_traits<char16_t>::length(text) : 0;
    LaunchOutcome outcome;
    invokeNonBlocking({mode, text, length, false}, Reporting::StandardStreams, outcome);
}
