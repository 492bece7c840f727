// The data-access framework's dataset, fields, field definitions and
// parameters, as far as the layer's result set stands on them.
#pragma once

#include "DBConnection.h"

class TDataSet : public TComponent {
public:
    explicit TDataSet(std::string name = {}) : TComponent(std::move(name)) {}
    bool Active() const noexcept { return m_active; }

protected:
    bool m_active = false;
};
