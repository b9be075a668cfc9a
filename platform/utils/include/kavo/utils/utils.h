#pragma once
// Every service of libkavo_utils.
#include "kavo/utils/clock.h"
#include "kavo/utils/fd.h"
#include "kavo/utils/file.h"
#include "kavo/utils/fs.h"
#include "kavo/utils/iobuffer.h"
#include "kavo/utils/net.h"
#include "kavo/utils/strings.h"
#include "kavo/utils/system.h"
