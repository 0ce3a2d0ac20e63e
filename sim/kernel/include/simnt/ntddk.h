// Everything the simulated kernel offers a driver, in one include.
#pragma once

#include "simnt/wdm.h"
#include "simnt/wdm_executive.h"
#include "simnt/ntddser.h"
#include "simnt/ntddmou.h"
#include "simnt/kbdmou.h"
#include "simnt/ntdd8042.h"
#include "simnt/wmilib.h"
