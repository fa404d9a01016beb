// The check of a Windows module's own Mark-of-the-Web: hello-origin.exe and
// checkOwnDownload() read it alike.
#pragma once

#include <windows.h>

#include "origin_check.h"

namespace hello_origin {

// Room kept after a module's path for the name that addresses its stream,
// terminator included.
constexpr std::size_t STREAM_NAME_CAPACITY = 64;

// Reads the head of the stream that streamName, appended to the path of
// module's file, addresses (module nullptr: the process's executable), and
// checks it. A path that fills the MAX_PATH buffer was cut and would name
// another file's stream, whose mark could say anything: OUTCOME_NO_MARK. So
// does a streamName of STREAM_NAME_CAPACITY units or more.
Outcome checkModuleMark(HMODULE module, const wchar_t* streamName, WideChar* hostName);

}  // namespace hello_origin
