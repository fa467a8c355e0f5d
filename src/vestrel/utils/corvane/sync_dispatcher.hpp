// The SyncDispatcher class of vestrel.utils.corvane.corvane.
#pragma once

#include "class_support.hpp"

namespace vestrel::corvane {

ClassDef &sync_dispatcher_class();

}  // namespace vestrel::corvane
