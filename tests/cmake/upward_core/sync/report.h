#pragma once

#include "core/util/civil.h"
// A layer reaching up into the window logic.
#include "core/ui/views.h"
