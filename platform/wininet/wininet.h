// The WinINet functions this platform supplies to the program image, and the error
// numbers they leave behind. The functions keep the Windows names and argument orders;
// handles are 32-bit numbers and 0 means failure. After a failure the calling thread's
// last error says why (nimbra_wininet_last_error).
#pragma once

#include <cstdint>

namespace nimbra::wininet {

// Windows and WinINet error numbers, under their Windows meanings.
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorTimeout = 12002;
inline constexpr uint32_t kErrorInternal = 12004;
inline constexpr uint32_t kErrorInvalidUrl = 12005;
inline constexpr uint32_t kErrorUnrecognizedScheme = 12006;
inline constexpr uint32_t kErrorNameNotResolved = 12007;
inline constexpr uint32_t kErrorOperationCancelled = 12017;
inline constexpr uint32_t kErrorIncorrectHandleType = 12018;
inline constexpr uint32_t kErrorIncorrectHandleState = 12019;
inline constexpr uint32_t kErrorCannotConnect = 12029;
inline constexpr uint32_t kErrorConnectionAborted = 12030;
inline constexpr uint32_t kErrorConnectionReset = 12031;
inline constexpr uint32_t kErrorInvalidCa = 12045;
inline constexpr uint32_t kErrorHeaderNotFound = 12150;
inline constexpr uint32_t kErrorInvalidServerResponse = 12152;
inline constexpr uint32_t kErrorInvalidHeader = 12153;
inline constexpr uint32_t kErrorRedirectFailed = 12156;
inline constexpr uint32_t kErrorSecureChannel = 12157;

inline constexpr uint32_t kOpenTypePreconfig = 0;
inline constexpr uint32_t kOpenTypeDirect = 1;
inline constexpr uint32_t kOpenTypeProxy = 3;
inline constexpr uint32_t kOpenTypePreconfigNoAutoproxy = 4;
inline constexpr uint32_t kServiceHttp = 3;
inline constexpr uint32_t kDefaultHttpsPort = 443;

inline constexpr uint32_t kFlagReload = 0x80000000;
inline constexpr uint32_t kFlagAsync = 0x10000000;
inline constexpr uint32_t kFlagSecure = 0x00800000;
inline constexpr uint32_t kFlagNoAutoRedirect = 0x00200000;
inline constexpr uint32_t kFlagNoCookies = 0x00080000;

inline constexpr uint32_t kQueryStatusCode = 19;
inline constexpr uint32_t kQueryRawHeadersCrlf = 22;
inline constexpr uint32_t kQueryFlagNumber = 0x20000000;

uint32_t InternetOpenA(const char* agent, uint32_t access_type, const char* proxy, const char* bypass, uint32_t flags);
uint32_t InternetConnectA(uint32_t internet, const char* host, uint32_t port, const char* user, const char* password,
                          uint32_t service, uint32_t flags, uint32_t context);
uint32_t HttpOpenRequestA(uint32_t connect, const char* verb, const char* object, const char* version,
                          const char* referrer, const char** accept_types, uint32_t flags, uint32_t context);
uint32_t HttpSendRequestA(uint32_t request, const char* headers, uint32_t headers_length, const void* optional,
                          uint32_t optional_length);
uint32_t InternetReadFile(uint32_t request, void* buffer, uint32_t to_read, uint32_t* read);
uint32_t HttpQueryInfoA(uint32_t request, uint32_t level, void* buffer, uint32_t* length, uint32_t* index);
uint32_t InternetCloseHandle(uint32_t handle);
uint32_t InternetSetCookieA(const char* url, const char* name, const char* data);

}  // namespace nimbra::wininet

// The calling thread's last error, as GetLastError would give it; 0 after a success.
extern "C" uint32_t nimbra_wininet_last_error();
