/*
 * The board's remote-access phone book as its headers declare it: the
 * entry record (3472 bytes, no pointers, so the same at every word size),
 * its limits and flags, and the three calls the product uses.  Shared by
 * the host stand-in and the board-compile check; the board's own build
 * takes the platform's ras.h instead.
 *
 * The includer gives BYTE, DWORD, WCHAR, LPWSTR, LPDWORD, LPBYTE, MAX_PATH,
 * TEXT and APIENTRY, and may set RAS_API (the calls' linkage).
 */
#ifndef PLATFORM_RAS_ENTRY_H
#define PLATFORM_RAS_ENTRY_H

#ifndef RAS_API
#define RAS_API
#endif

#define RAS_MaxAreaCode 10
#define RAS_MaxPhoneNumber 128
#define RAS_MaxDeviceType 16
#define RAS_MaxDeviceName 128
#define RAS_MaxPadType 32
#define RAS_MaxX25Address 200
#define RAS_MaxFacilities 200
#define RAS_MaxUserData 200
#define RAS_MaxEntryName 20
#define RASEO_UseCountryAndAreaCodes 0x00000001
#define RASEO_SpecificIpAddr 0x00000002
#define RASEO_SpecificNameServers 0x00000004
#define RASEO_IpHeaderCompression 0x00000008
#define RASEO_RemoteDefaultGateway 0x00000010
#define RASEO_DisableLcpExtensions 0x00000020
#define RASEO_TerminalBeforeDial 0x00000040
#define RASEO_TerminalAfterDial 0x00000080
#define RASEO_ModemLights 0x00000100
#define RASEO_SwCompression 0x00000200
#define RASEO_RequireEncryptedPw 0x00000400
#define RASEO_RequireMsEncryptedPw 0x00000800
#define RASEO_RequireDataEncryption 0x00001000
#define RASNP_NetBEUI 0x00000001
#define RASNP_Ipx 0x00000002
#define RASNP_Ip 0x00000004
#define RASFP_Ppp 0x00000001
#define RASFP_Slip 0x00000002
#define RASDT_Modem TEXT("modem")
#define RASDT_Direct TEXT("direct")

typedef struct tagRASIPADDR {
    BYTE a, b, c, d;
} RASIPADDR;

typedef struct tagRASENTRY {
    DWORD dwSize;
    DWORD dwfOptions;
    DWORD dwCountryID;
    DWORD dwCountryCode;
    WCHAR szAreaCode[RAS_MaxAreaCode + 1];
    WCHAR szLocalPhoneNumber[RAS_MaxPhoneNumber + 1];
    DWORD dwAlternateOffset;
    RASIPADDR ipaddr;
    RASIPADDR ipaddrDns;
    RASIPADDR ipaddrDnsAlt;
    RASIPADDR ipaddrWins;
    RASIPADDR ipaddrWinsAlt;
    DWORD dwFrameSize;
    DWORD dwfNetProtocols;
    DWORD dwFramingProtocol;
    WCHAR szScript[MAX_PATH];
    WCHAR szAutodialDll[MAX_PATH];
    WCHAR szAutodialFunc[MAX_PATH];
    WCHAR szDeviceType[RAS_MaxDeviceType + 1];
    WCHAR szDeviceName[RAS_MaxDeviceName + 1];
    WCHAR szX25PadType[RAS_MaxPadType + 1];
    WCHAR szX25Address[RAS_MaxX25Address + 1];
    WCHAR szX25Facilities[RAS_MaxFacilities + 1];
    WCHAR szX25UserData[RAS_MaxUserData + 1];
    DWORD dwChannels;
    DWORD dwReserved1;
    DWORD dwReserved2;
    DWORD dwCustomAuthKey;
} RASENTRY, *LPRASENTRY;

typedef struct tagRASENTRYNAME {
    DWORD dwSize;
    WCHAR szEntryName[RAS_MaxEntryName + 1];
} RASENTRYNAME, *LPRASENTRYNAME;

RAS_API DWORD APIENTRY RasEnumEntries(LPWSTR reserved, LPWSTR phonebook, LPRASENTRYNAME entries,
                                      LPDWORD size, LPDWORD count);
RAS_API DWORD APIENTRY RasGetEntryProperties(LPWSTR phonebook, LPWSTR entry, LPRASENTRY info,
                                             LPDWORD info_size, LPBYTE device_info, LPDWORD device_size);
RAS_API DWORD APIENTRY RasSetEntryProperties(LPWSTR phonebook, LPWSTR entry, LPRASENTRY info,
                                             DWORD info_size, LPBYTE device_info, DWORD device_size);

#endif
