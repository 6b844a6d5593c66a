/* Resource ids of the test applet. */
#define IDS_NAME 1
#define IDS_INFO 2
#define IDS_SPARE 17

#define IDI_PROBE 7

#define IDD_TEST 300
#define IDC_CHECK 1000
#define IDI_DIRECT 9
