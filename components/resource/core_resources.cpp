// CoreRes: the resource module of the installation. The filter maps it as data at start-up
// (it is never run) and refuses to start without it; it states the product's version.
#include "nexoral/module_version.h"

NEXORAL_MODULE_VERSION(NEXORAL_FILE_VERSION_TEXT, NEXORAL_PRODUCT_VERSION_TEXT);
