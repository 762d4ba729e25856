// The incremental pair engine (see model/pair_source.hpp for the shape it follows).
#pragma once

#include "model/pair_source.hpp"
