#include "submit_committer.h"
