// A file of the parser layer that reaches up into the flow layer: the build
// must refuse it, because parser sits below flow.
#include "flow/flow_key.h"
