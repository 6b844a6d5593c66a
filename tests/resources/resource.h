/* Resource ids of the resource test program. */
#define IDS_PROGRAM 1
#define IDS_GRAVE 3
