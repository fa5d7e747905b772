#include "tensorhost/threads.h"
