#pragma once

#include "frameViewGridModel.h"

class wxPGProperty;
class wxPropertyGrid;
class wxVariant;

// Appends the rows of a view-grid table to a property grid: categories, their
// properties, read-only marks, collapsed categories and background colours,
// and the check-box editor of every boolean. GUI thread.
void FillViewGrid(wxPropertyGrid& grid, const CViewGridTable& table);

// The value of an edited property as the change handler reads it.
CViewGridValue ReadViewGridValue(const wxVariant& value);
