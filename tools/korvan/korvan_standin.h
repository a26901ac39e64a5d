/*
 * Controls of the KORVAN stand-in, the host library that our tools and tests
 * load in place of the real host's. The four host functions are declared in
 * host/korvan.h. Every control also has an environment variable, read at the
 * first call into the library, so a host that knows nothing of the stand-in
 * can still steer it:
 *   KORVAN_LOG_FILE   log to this file instead of stderr (also while a
 *                     sink shows the lines)
 *   KORVAN_REGISTER   result of KorMkClient (decimal or 0x...; 0 registers;
 *                     a value that is not a number refuses)
 *   KORVAN_VERSION    version reported by KorGetKorvanVer
 */
#ifndef KORVAN_STANDIN_H
#define KORVAN_STANDIN_H

#ifdef __cplusplus
extern "C" {
#endif

#define KORVAN_STANDIN_API

typedef void (*KorStandinSink)(void *context, int level, const char *line);

/* Log lines go to this file (appended), or to stderr for NULL. 0 on success. */
KORVAN_STANDIN_API int KorStandinSetLogFile(const char *path);
/* Log lines go to `sink` instead of stderr, and still to a log file if one
   is set; NULL restores them. */
KORVAN_STANDIN_API void KorStandinSetLogSink(KorStandinSink sink, void *context);
/* Result that KorMkClient returns; nonzero low 16 bits refuse the client. */
KORVAN_STANDIN_API void KorStandinSetRegistrationResult(int result);
/* Version that KorGetKorvanVer reports (default 820). */
KORVAN_STANDIN_API void KorStandinSetVersion(unsigned short version);
/* Clients currently registered, and the name of the latest registration. */
KORVAN_STANDIN_API int KorStandinClientCount(void);
KORVAN_STANDIN_API int KorStandinLastClientName(char *out, int size);
/* The first environment variable above that could not be applied, as one
   line ("KORVAN_REGISTER 'abc' is not a number ..."), empty when all were.
   Returns its length. */
KORVAN_STANDIN_API int KorStandinEnvironmentProblem(char *out, int size);
/* Calls of KorGetKorvanVer and KorRmClient so far. */
KORVAN_STANDIN_API int KorStandinVersionQueries(void);
KORVAN_STANDIN_API int KorStandinRemovals(void);

#ifdef __cplusplus
}
#endif

#endif /* KORVAN_STANDIN_H */
