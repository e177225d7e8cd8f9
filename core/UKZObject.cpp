#include "core/UKZObject.h"
