#include "outbox_deliverer.h"
