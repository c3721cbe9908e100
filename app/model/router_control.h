// RouterControl, the part of the engine's router the app model uses, is
// declared by the engine itself (the router implements it and the engine may
// not include the app model). This header stays so that the model's code
// keeps naming it from here.
#pragma once

#include "engine/control/router_control.h"
