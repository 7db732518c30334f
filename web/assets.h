// The files of web/assets, compiled into the program.
#ifndef CV4870WEB_ASSETS_H
#define CV4870WEB_ASSETS_H

#include <cstddef>

namespace cv4870web {

struct Asset
{
    const char *name; // "fleet.html"
    const char *contentType;
    const char *etag; // strong, with its quotes
    const unsigned char *data;
    std::size_t size;
};

extern const Asset kAssets[];
extern const std::size_t kAssetCount;

} // namespace cv4870web

#endif
