/*
 * The host library KORVAN as the driver calls it. The host supplies the
 * library; these are the four functions the driver uses, all cdecl and
 * exported undecorated.
 */
#ifndef KORVAN_H
#define KORVAN_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define KORVAN_CDECL __cdecl
#else
#define KORVAN_CDECL
#endif

/* Writes one log line; level 8 traces received data, 32 marks notices and
   failures. The result is ignored. */
int KORVAN_CDECL err(int level, const char *format, ...);

/* Registers a client under `name` (a = 1, b = 0) and writes its id. The low
   16 bits of the result are 0 on success. */
int KORVAN_CDECL KorMkClient(const char *name, int a, int b, unsigned short *clientId);

/* Writes the host's version; the 100-byte area is the host's. */
int KORVAN_CDECL KorGetKorvanVer(unsigned short clientId, unsigned short *version, void *area100);

/* Removes a client. */
int KORVAN_CDECL KorRmClient(unsigned short clientId);

#ifdef __cplusplus
}
#endif

#endif /* KORVAN_H */
