// The fakes are header-only; this file gives the support library a home for shared helpers.
#include "support/fakes.h"
