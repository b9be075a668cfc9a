#pragma once
// Every service of libkavo_threading.
#include "kavo/threading/autothread.h"
#include "kavo/threading/idgenerator.h"
#include "kavo/threading/interprocessmutex.h"
#include "kavo/threading/priority.h"
