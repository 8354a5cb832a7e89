// Everything of the Nexoral plug-in contract in one include.
#ifndef NEXORAL_NEXORAL_H
#define NEXORAL_NEXORAL_H

#include "nexoral/service_worker.h"

#endif  // NEXORAL_NEXORAL_H
