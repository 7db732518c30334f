/* viParseRsrc and viParseRsrcEx: what a resource string names, without
 * opening it. */
#include "objects.h"
#include "rsrcname.h"
#include "visa.h"

using namespace cvvisa;

extern "C" {

ViStatus viParseRsrcEx(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum,
                       ViChar rsrcClass[], ViChar expandedUnaliasedName[], ViChar aliasIfExists[])
{
    for (ViChar *text : {rsrcClass, expandedUnaliasedName, aliasIfExists})
        if (text)
            text[0] = '\0';
    if (const ViStatus st = checkManager(rmSesn); st != VI_SUCCESS)
        return st;
    RsrcInfo info;
    const ViStatus st = parseRsrc(rsrcName, &info);
    if (st != VI_SUCCESS)
        return st;
    if (intfType)
        *intfType = info.intfType;
    if (intfNum)
        *intfNum = info.board;
    if (rsrcClass)
        copyOut(rsrcClass, info.rsrcClass);
    if (expandedUnaliasedName)
        copyOut(expandedUnaliasedName, info.canonical);
    return VI_SUCCESS; /* the library has no aliases: aliasIfExists stays empty */
}

ViStatus viParseRsrc(ViSession rmSesn, ViConstRsrc rsrcName, ViPUInt16 intfType, ViPUInt16 intfNum)
{
    return viParseRsrcEx(rmSesn, rsrcName, intfType, intfNum, nullptr, nullptr, nullptr);
}

} // extern "C"
