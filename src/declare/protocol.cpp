// The asset protocol: how any object is recognised and unwrapped as an asset.
#include "declare/declare.hpp"

namespace sorva::declare {

bool is_asset(PyObject* obj)
{
    Ref kind = getattr_or_empty(obj, names::sorva_kind);
    return kind && PyUnicode_Check(kind.get()) && PyUnicode_Compare(kind.get(), names::asset.get()) == 0;
}

Ref original_function(PyObject* asset)
{
    Ref original = getattr_or_empty(asset, names::sorva_original);
    return original ? std::move(original) : Ref::borrow(asset);
}

}  // namespace sorva::declare
