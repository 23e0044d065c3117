#include "drBinding.h"
