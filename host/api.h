// Symbol export for the host SDK library. The plug-in is built with hidden
// visibility; everything the host library offers must stay visible.
#pragma once

#define HOST_API __attribute__((visibility("default")))
