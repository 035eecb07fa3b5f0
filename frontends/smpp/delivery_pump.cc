#include "delivery_pump.h"
