/* Fundamental VISA data types (LP64). Plain C, usable from C and C++. */
#ifndef VISATYPE_H
#define VISATYPE_H

#include <stdint.h>

typedef uint32_t ViUInt32;
typedef ViUInt32 *ViPUInt32;
typedef int32_t ViInt32;
typedef ViInt32 *ViPInt32;
typedef uint16_t ViUInt16;
typedef ViUInt16 *ViPUInt16;
typedef int16_t ViInt16;
typedef ViInt16 *ViPInt16;
typedef uint8_t ViUInt8;
typedef ViUInt8 *ViPUInt8;
typedef int8_t ViInt8;
typedef uint64_t ViUInt64;
typedef char ViChar;
typedef ViChar *ViPChar;
typedef unsigned char ViByte;
typedef ViByte *ViPByte;
typedef void *ViAddr;
typedef double ViReal64;
typedef ViReal64 *ViPReal64;

typedef ViUInt8 *ViBuf;
typedef ViUInt8 *ViPBuf;
typedef const ViUInt8 *ViConstBuf;
typedef ViChar *ViString;
typedef const ViChar *ViConstString;
typedef ViString ViRsrc;
typedef ViConstString ViConstRsrc;

typedef ViUInt16 ViBoolean;
typedef ViBoolean *ViPBoolean;

typedef ViInt32 ViStatus;
typedef ViStatus *ViPStatus;

typedef ViUInt32 ViObject;
typedef ViObject *ViPObject;
typedef ViObject ViSession;
typedef ViSession *ViPSession;
typedef ViUInt32 ViAttr;
typedef ViUInt32 ViAccessMode;
typedef ViObject ViFindList;
typedef ViFindList *ViPFindList;
typedef ViUInt64 ViAttrState;
typedef ViAttrState *ViPAttrState;
typedef ViUInt32 ViVersion;
typedef ViVersion *ViPVersion;
typedef ViUInt32 ViEventType;
typedef ViEventType *ViPEventType;
typedef ViUInt32 ViEventFilter;
typedef ViObject ViEvent;
typedef ViEvent *ViPEvent;
typedef ViString ViKeyId;
typedef ViConstString ViConstKeyId;
typedef ViUInt32 ViJobId;
typedef ViJobId *ViPJobId;

#define VI_NULL 0
#define VI_TRUE ((ViBoolean)1)
#define VI_FALSE ((ViBoolean)0)

#endif /* VISATYPE_H */
