/* TamsuClient: the keys served by the Tamsu ZUVA service, for client programs (32- and 64-bit).
 *
 * Results are LONG codes with PC/SC's values where one fits (SCARD_S_SUCCESS is 0); nothing else
 * leaves these functions, no exception and no other error channel. TamsuErrorText names any code.
 *
 * Threads: any number of keys may be used on any threads at once. One TAMSU_KEY is used by one
 * thread at a time; calls on the same key from two threads at once must be serialised by the
 * caller.
 *
 * The genuine server: before anything is sent on a connection (a list request or a command), the
 * pipe's server must be the monitor process whose id the running service published, and from
 * Windows Vista on it must run in the service's session. Any other server is disconnected unsent
 * and reported as TAMSU_E_NO_SERVICE, with its own text from TamsuErrorText. Pipes are opened for
 * identification only, so no server can act as the client. Before Windows Vista a pipe's server
 * cannot be known and any server is taken. Developers working against TamsuKeySim allow any
 * server with TAMSU_ALLOW_ANY_SERVER=1 in the client process's environment (read once, at the
 * first connection; never a default); it counts only while the service is not installed or is
 * stopped. */
#ifndef TAMSU_CLIENT_H
#define TAMSU_CLIENT_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* TAMSU_CLIENT_STATIC: linked from a static library (our own tools), neither imported nor exported. */
#if defined(TAMSU_CLIENT_STATIC)
#define TAMSU_CLIENT_API
#elif defined(TAMSU_CLIENT_BUILDING)
#define TAMSU_CLIENT_API __declspec(dllexport)
#else
#define TAMSU_CLIENT_API __declspec(dllimport)
#endif

/* The codes, with PC/SC's values. TamsuListKeys and TamsuConnect may also return TAMSU_E_NO_MEMORY. */
#define TAMSU_S_SUCCESS 0x00000000L
#define TAMSU_E_INVALID_PARAMETER ((LONG)0x80100004)
#define TAMSU_E_NO_MEMORY ((LONG)0x80100006)
#define TAMSU_E_INSUFFICIENT_BUFFER ((LONG)0x80100008)
#define TAMSU_E_UNKNOWN_READER ((LONG)0x80100009)
#define TAMSU_E_TIMEOUT ((LONG)0x8010000A)
#define TAMSU_E_SHARING_VIOLATION ((LONG)0x8010000B)
#define TAMSU_F_COMM_ERROR ((LONG)0x80100013)
#define TAMSU_E_NO_SERVICE ((LONG)0x8010001D)
#define TAMSU_E_NO_READERS_AVAILABLE ((LONG)0x8010002E)
#define TAMSU_W_REMOVED_CARD ((LONG)0x80100069)

/* The longest command and answer a key exchanges, in bytes. */
#define TAMSU_MAX_COMMAND 4096

typedef struct TamsuKey* TAMSU_KEY;

/* The keys' device paths as a multi-string: each path zero-terminated, one more zero at the end.
 * *length is in characters, in and out; paths NULL asks for the length.
 * TAMSU_E_NO_SERVICE: no monitor serves the list; TAMSU_E_NO_READERS_AVAILABLE: no key is
 * present; TAMSU_E_INSUFFICIENT_BUFFER: *length is set to the length needed; TAMSU_F_COMM_ERROR:
 * the list pipe answered "Error", broke, or sent what is not a list. On every failure but
 * TAMSU_E_INSUFFICIENT_BUFFER, *length is left as it was; on every failure, paths is. */
TAMSU_CLIENT_API LONG WINAPI TamsuListKeys(char* paths, DWORD* length);

/* Connects to the key of `path` (as listed, with or without the "\\?\" prefix), waiting up to
 * timeoutMs (INFINITE: no limit) while its pipe is between two instances or busy with another
 * client. *key is NULL after any failure (when key is not NULL).
 * TAMSU_E_UNKNOWN_READER: no such key is served (also a path no listed key can have);
 * TAMSU_E_SHARING_VIOLATION: the key stayed in use by another client for the whole time;
 * TAMSU_E_TIMEOUT: the service's list, asked for a key whose pipe is not there, stayed busy or
 * did not answer in time (a list request may end up to 1 s past timeoutMs);
 * TAMSU_E_INVALID_PARAMETER: a NULL argument; TAMSU_E_NO_SERVICE: no monitor runs. */
TAMSU_CLIENT_API LONG WINAPI TamsuConnect(const char* path, DWORD timeoutMs, TAMSU_KEY* key);

/* Sends one command and receives its answer, waiting at most timeoutMs (INFINITE: as long as the
 * key takes). *answerLength is the buffer's size in, the answer's length out; answer NULL asks for
 * the length. TAMSU_E_INVALID_PARAMETER: a NULL key, command or answerLength, or a command of 0 or
 * more than TAMSU_MAX_COMMAND bytes; TAMSU_E_INSUFFICIENT_BUFFER: *answerLength is set to the
 * length needed and the answer is kept, so that a second call with the same command and a larger
 * buffer gets it without sending again (another command drops it and is sent);
 * TAMSU_W_REMOVED_CARD: the service dropped the connection (the command failed on the key);
 * TAMSU_E_TIMEOUT: no answer came within timeoutMs (the call returns at most about 1 s later);
 * TAMSU_F_COMM_ERROR: an answer longer than TAMSU_MAX_COMMAND bytes. After any of the last three the connection is
 * closed, so that a late answer is never taken for the next command's: later calls return TAMSU_W_REMOVED_CARD without
 * sending. Disconnect, and connect again. */
TAMSU_CLIENT_API LONG WINAPI TamsuTransmit(TAMSU_KEY key, const BYTE* command, DWORD commandLength, BYTE* answer,
                                           DWORD* answerLength, DWORD timeoutMs);

/* Closes the connection and frees the key, which must not be used afterwards.
 * TAMSU_E_INVALID_PARAMETER: key is NULL. */
TAMSU_CLIENT_API LONG WINAPI TamsuDisconnect(TAMSU_KEY key);

/* A short English text for any code; never NULL. */
TAMSU_CLIENT_API const char* WINAPI TamsuErrorText(LONG code);

#ifdef __cplusplus
}
#endif

#endif /* TAMSU_CLIENT_H */
