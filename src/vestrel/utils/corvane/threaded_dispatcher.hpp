// The ThreadedDispatcher class of vestrel.utils.corvane.corvane.
#pragma once

#include "class_support.hpp"

namespace vestrel::corvane {

ClassDef &threaded_dispatcher_class();

}  // namespace vestrel::corvane
