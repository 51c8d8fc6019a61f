// Python enumeration classes Abi, State and ModelOutputType: one shared object
// per member, compared by the rules of each class.
#include <array>
#include <type_traits>

#include "python/module_state.hpp"
#include "python/support.hpp"
#include "python/types.hpp"
#include "surface.hpp"  // generated from src/python/surface/surface.py

namespace tallowind::python {
namespace {

struct EnumObject {
  PyObject_HEAD
  std::uint8_t value;
};

template <class E>
struct EnumTraits;

template <>
struct EnumTraits<ara2::State> {
  static constexpr const char* class_name = "State";
  static constexpr TypeId type_id = TypeId::State;
  static auto& members() noexcept { return module_state().state_members; }
  static constexpr std::size_t count = 12;
  // State compares only with State; its numbers differ from the raw DVAPI ones.
  static constexpr bool equals_integers = false;
  static std::string_view name(ara2::State v) { return ara2::state_name(v); }
  static std::string_view str(ara2::State v) { return ara2::state_name(v); }
};

template <>
struct EnumTraits<ara2::Abi> {
  static constexpr const char* class_name = "Abi";
  static constexpr TypeId type_id = TypeId::Abi;
  static auto& members() noexcept { return module_state().abi_members; }
  static constexpr std::size_t count = 2;
  static constexpr bool equals_integers = true;
  static std::string_view name(ara2::Abi v) { return ara2::abi_name(v); }
  static std::string_view str(ara2::Abi v) { return ara2::abi_version_text(v); }
};

template <>
struct EnumTraits<ara2::ModelOutputType> {
  static constexpr const char* class_name = "ModelOutputType";
  static constexpr TypeId type_id = TypeId::ModelOutputType;
  static auto& members() noexcept { return module_state().output_type_members; }
  static constexpr std::size_t count = 4;
  static constexpr bool equals_integers = true;
  static std::string_view name(ara2::ModelOutputType v) { return ara2::output_type_name(v); }
  static std::string_view str(ara2::ModelOutputType v) { return ara2::output_type_name(v); }
};

template <class E>
struct Enum {
  using Traits = EnumTraits<E>;
  static_assert(std::tuple_size_v<std::remove_reference_t<decltype(Traits::members())>> == Traits::count);

  static E value_of(PyObject* self) { return static_cast<E>(reinterpret_cast<EnumObject*>(self)->value); }

  static PyObject* repr(PyObject* self) {
    std::string text = Traits::class_name;
    text += '.';
    text += Traits::name(value_of(self));
    return to_str(text);
  }

  static PyObject* str(PyObject* self) { return to_str(Traits::str(value_of(self))); }

  static PyObject* to_int(PyObject* self) { return PyLong_FromLong(reinterpret_cast<EnumObject*>(self)->value); }

  /// The integer `other` stands for through the index protocol, if it fits a
  /// signed 64-bit value. Never leaves an exception behind.
  static std::optional<long long> as_integer(PyObject* other) {
    Ref index = Ref::steal(PyNumber_Index(other));
    if (!index) {
      PyErr_Clear();
      return std::nullopt;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred())) {
      PyErr_Clear();
      return std::nullopt;
    }
    return value;
  }

  static PyObject* richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    const long long mine = reinterpret_cast<EnumObject*>(self)->value;
    bool equal = false;
    if (Py_TYPE(other) == Py_TYPE(self)) {
      equal = mine == reinterpret_cast<EnumObject*>(other)->value;
    } else if constexpr (Traits::equals_integers) {
      const auto theirs = as_integer(other);
      if (!theirs) Py_RETURN_NOTIMPLEMENTED;
      equal = mine == *theirs;
    } else {
      Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong((op == Py_EQ) == equal);
  }

  static bool add_members(PyTypeObject* created) {
    for (std::size_t i = 0; i < Traits::count; ++i) {
      Ref member = Ref::steal(created->tp_alloc(created, 0));
      if (!member) return false;
      reinterpret_cast<EnumObject*>(member.get())->value = static_cast<std::uint8_t>(i);
      const std::string name(Traits::name(static_cast<E>(i)));
      if (!add_class_attribute(created, name.c_str(), member.get())) return false;
    }
    return true;
  }

  static PyTypeObject* get(PyType_Spec& spec) {
    auto& members = Traits::members();
    PyTypeObject*& type = module_state().type(Traits::type_id);
    if (members[0] != nullptr) return type;
    PyTypeObject* created = create_type_once(type, spec, add_members);
    if (created == nullptr || members[0] != nullptr) return created;
    // The members returned from C++ are the class attributes of the type that
    // won; they are held here too, so rebinding an attribute cannot free them.
    std::array<PyObject*, Traits::count> found{};
    for (std::size_t i = 0; i < Traits::count; ++i) {
      const std::string name(Traits::name(static_cast<E>(i)));
      found[i] = PyDict_GetItemString(created->tp_dict, name.c_str());
      if (found[i] == nullptr || Py_TYPE(found[i]) != created) {
        raise_internal("enumeration member missing from its class");
        return nullptr;
      }
    }
    for (std::size_t i = 0; i < Traits::count; ++i) members[i] = Py_NewRef(found[i]);
    return created;
  }

  static PyObject* member(PyType_Spec& spec, E value) {
    if (get(spec) == nullptr) return nullptr;
    return Py_NewRef(Traits::members()[static_cast<std::size_t>(value)]);
  }
};

template <class E>
std::array<PyType_Slot, 7> enum_slots(const char* doc) {
  return {{
      {Py_tp_repr, slot<Enum<E>::repr>()},
      {Py_tp_str, slot<Enum<E>::str>()},
      {Py_nb_int, slot<Enum<E>::to_int>()},
      {Py_tp_richcompare, slot<Enum<E>::richcompare>()},
      // Equality without a matching hash: members are unhashable.
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  }};
}

auto state_slots = enum_slots<ara2::State>(surface::State::class_.doc);
auto abi_slots = enum_slots<ara2::Abi>(surface::Abi::class_.doc);
auto output_type_slots = enum_slots<ara2::ModelOutputType>(surface::ModelOutputType::class_.doc);

PyType_Spec state_spec = {surface::State::class_.name, sizeof(EnumObject), 0, 0, state_slots.data()};
PyType_Spec abi_spec = {surface::Abi::class_.name, sizeof(EnumObject), 0, 0, abi_slots.data()};
PyType_Spec output_type_spec = {surface::ModelOutputType::class_.name, sizeof(EnumObject), 0, 0,
                                output_type_slots.data()};

}  // namespace

PyTypeObject* state_type() { return Enum<ara2::State>::get(state_spec); }
PyTypeObject* abi_type() { return Enum<ara2::Abi>::get(abi_spec); }
PyTypeObject* model_output_type_type() { return Enum<ara2::ModelOutputType>::get(output_type_spec); }

PyObject* state_member(ara2::State state) { return Enum<ara2::State>::member(state_spec, state); }
PyObject* abi_member(ara2::Abi abi) { return Enum<ara2::Abi>::member(abi_spec, abi); }
PyObject* output_type_member(ara2::ModelOutputType type) {
  return Enum<ara2::ModelOutputType>::member(output_type_spec, type);
}

}  // namespace tallowind::python
