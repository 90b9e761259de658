// KorLib's umbrella header: the whole public interface of the library.
#pragma once

#include <kor/device.h>
#include <kor/export.h>
#include <kor/lens.h>
#include <kor/telemetry.h>
#include <kor/version.h>
