// Linux's words for a launch that started nothing, as system_message_windows.h is Windows'.
#pragma once

#include "child_linux.h"
#include "launcher.h"

// Fills `failure` for a launch that ended at `ending` with `code`: the errno of the failure, or
// for Interrupted, Caught and Signalled the signal (their errno is then EINTR: nothing started,
// as if the creation had been interrupted). The message names the step or the signal, then the C
// library's text for the errno.
void describeFailure(Ending ending, int code, SystemFailure& failure) noexcept;
