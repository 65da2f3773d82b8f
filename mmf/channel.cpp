// The channel object over cMMF, the window hook and the platform layer.
#include "mmf/channel.h"
