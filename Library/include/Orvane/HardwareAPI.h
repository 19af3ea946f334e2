// Everything a C++ program needs to drive an arm or a handle.
#pragma once

#include "HardwareAPI/Detection.h"
#include "HardwareAPI/Device.h"
#include "HardwareAPI/DeviceInfo.h"
#include "HardwareAPI/Effects.h"
#include "HardwareAPI/Handle.h"
#include "HardwareAPI/HandleListener.h"
#include "HardwareAPI/Protocol.h"
#include "HardwareAPI/SerialDeviceProvider.h"
#include "HardwareAPI/SerialStream.h"
#include "HardwareAPI/ServoLoop.h"
#include "HardwareAPI/UUID.h"
#include "HardwareAPI/Varnix3.h"
#include "HardwareAPI/Version.h"
