// The values of time series in the engine's text format, read natively.
#pragma once
#include "quarvel/pyref.hpp"

namespace quarvel {

// eso_points(data, wanted, year): see the module's docstring.
PyObject* eso_points(PyObject* data, PyObject* wanted, long year);

}  // namespace quarvel
