#pragma once

// The one way this program includes <windows.h>. winbase.h still defines Yield() as an
// empty macro (a 16-bit leftover), which would erase EventLoop::Yield wherever it follows.
#include <windows.h>
#undef Yield
