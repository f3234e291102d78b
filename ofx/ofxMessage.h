#ifndef _ofxMessage_h_
#define _ofxMessage_h_

/* The project's own declarations of the OpenFX message suite, source-compatible with the standard's. */

#include "ofxCore.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kOfxMessageSuite "OfxMessageSuite"

#define kOfxMessageFatal "OfxMessageFatal"
#define kOfxMessageError "OfxMessageError"
#define kOfxMessageMessage "OfxMessageMessage"
#define kOfxMessageLog "OfxMessageLog"
#define kOfxMessageWarning "OfxMessageWarning"
#define kOfxMessageQuestion "OfxMessageQuestion"

typedef struct OfxMessageSuiteV1 {
  OfxStatus (*message)(void *handle, const char *messageType, const char *messageId, const char *format, ...);
} OfxMessageSuiteV1;

typedef struct OfxMessageSuiteV2 {
  OfxStatus (*message)(void *handle, const char *messageType, const char *messageId, const char *format, ...);
  OfxStatus (*setPersistentMessage)(void *handle, const char *messageType, const char *messageId,
                                    const char *format, ...);
  OfxStatus (*clearPersistentMessage)(void *handle);
} OfxMessageSuiteV2;

#ifdef __cplusplus
}
#endif

#endif
