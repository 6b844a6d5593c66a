/*
 * Resource ids of Velmorra.
 */
#ifndef VELMORRA_RESOURCE_H
#define VELMORRA_RESOURCE_H

/* Strings */
#define IDS_DEVICE_NAME 1   /* RAS device of the entry */
#define IDS_SHORTCUT 2      /* the start-up shortcut that ran this program */
#define IDS_ENTRY_NAME 3    /* phone-book entry, and the PC connection's name */

#endif
