/* The package's version and names, kept here alone: every binary's version resource is built from
   them, and the setup reads TAMSU_VERSION_STRING from this file, so that line stays a plain literal
   of the form "a.b.c.d". The numbers and the string say the same version; the build refuses them
   when they disagree. Plain #defines only: the resource compiler reads this file too. */
#ifndef TAMSU_VERSION_H
#define TAMSU_VERSION_H

#define TAMSU_VERSION_MAJOR 1
#define TAMSU_VERSION_MINOR 0
#define TAMSU_VERSION_PATCH 0
#define TAMSU_VERSION_BUILD 0
#define TAMSU_VERSION_STRING "1.0.0.0"

#define TAMSU_COMPANY_NAME "Varnelle"
#define TAMSU_PRODUCT_NAME "Tamsu ZUVA"
#define TAMSU_LEGAL_COPYRIGHT "Copyright (C) Varnelle. All rights reserved."

#endif
