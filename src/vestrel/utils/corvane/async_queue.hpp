// The AsyncQueue class of vestrel.utils.corvane.corvane.
#pragma once

#include "class_support.hpp"

namespace vestrel::corvane {

ClassDef &async_queue_class();

}  // namespace vestrel::corvane

namespace vestrel::corvane {

// The module function __pyx_unpickle_AsyncQueue.
Method &unpickle_function();

}  // namespace vestrel::corvane
