// The toolkit is one shared library loaded once per process; the extension
// modules are built with hidden visibility, so what they call is marked here.
#pragma once

#define PYGLUE_API __attribute__((visibility("default")))
