// The panel harness now lives with the other GUI test helpers.
#include "gui_test_util.h"
