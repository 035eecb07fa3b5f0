#include "submit_mapping.h"
