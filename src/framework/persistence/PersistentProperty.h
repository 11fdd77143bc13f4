#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace velbor {

class PersistentObject;
class PersistentClass;

// A property value as the mapping layer moves it between objects and columns: none (NULL),
// a signed or unsigned integer, a double, a text or byte string, or a referenced entity.
using PersistentValue =
    std::variant<std::monostate, int64_t, uint64_t, double, std::string, std::shared_ptr<PersistentObject>>;

// One stored property of an entity class: its name, its type code and its accessors.
// Type codes: "i" "I" "q" "Q" "s" "S" "B" "f" "d" "c" "C" for scalars ("c" is BOOL, kept in
// a TEXT column), "@\"NSString\"" for text, "@\"NSData\"" for bytes and "@\"<Class>\"" for a
// reference to another entity. Texts and bytes use the empty string for "none".
struct PersistentProperty {
  std::string name;
  std::string typeCode;
  std::function<PersistentValue(const PersistentObject&)> get;
  std::function<void(PersistentObject&, const PersistentValue&)> set;
  // The referenced class, for entity references only.
  std::function<const PersistentClass&()> entityClass;

  // The class named by an object type code ("@\"NSString\"" gives NSString); empty for scalars.
  std::string className() const {
    return typeCode.size() > 3 && typeCode[0] == '@' ? typeCode.substr(2, typeCode.size() - 3) : std::string();
  }
  bool isEntity() const { return static_cast<bool>(entityClass); }

  template <class T, class M>
  static PersistentProperty scalar(std::string name, M T::*member) {
    static_assert(std::is_arithmetic_v<M>, "scalar properties are numbers or bools");
    PersistentProperty property;
    property.name = std::move(name);
    property.typeCode = scalarTypeCode<M>();
    property.get = [member](const PersistentObject& object) -> PersistentValue {
      const M value = static_cast<const T&>(object).*member;
      if constexpr (std::is_floating_point_v<M>) {
        return static_cast<double>(value);
      } else if constexpr (std::is_signed_v<M> || std::is_same_v<M, bool>) {
        return static_cast<int64_t>(value);
      } else {
        return static_cast<uint64_t>(value);
      }
    };
    property.set = [member](PersistentObject& object, const PersistentValue& value) {
      M converted{};
      if (const auto* i = std::get_if<int64_t>(&value)) converted = static_cast<M>(*i);
      if (const auto* u = std::get_if<uint64_t>(&value)) converted = static_cast<M>(*u);
      if (const auto* d = std::get_if<double>(&value)) converted = static_cast<M>(*d);
      static_cast<T&>(object).*member = converted;
    };
    return property;
  }

  template <class T>
  static PersistentProperty text(std::string name, std::string T::*member) {
    return string(std::move(name), member, "@\"NSString\"");
  }

  template <class T>
  static PersistentProperty data(std::string name, std::string T::*member) {
    return string(std::move(name), member, "@\"NSData\"");
  }

  template <class T, class E>
  static PersistentProperty entity(std::string name, std::shared_ptr<E> T::*member) {
    PersistentProperty property;
    property.name = std::move(name);
    property.typeCode = "@\"" + E::className() + "\"";
    property.get = [member](const PersistentObject& object) -> PersistentValue {
      const auto& value = static_cast<const T&>(object).*member;
      if (!value) return std::monostate{};
      return std::static_pointer_cast<PersistentObject>(value);
    };
    property.set = [member](PersistentObject& object, const PersistentValue& value) {
      const auto* referenced = std::get_if<std::shared_ptr<PersistentObject>>(&value);
      static_cast<T&>(object).*member = referenced != nullptr ? std::dynamic_pointer_cast<E>(*referenced) : nullptr;
    };
    property.entityClass = []() -> const PersistentClass& { return E::classInfo(); };
    return property;
  }

  template <class M>
  static std::string scalarTypeCode() {
    if constexpr (std::is_same_v<M, bool>) {
      return "c";  // BOOL is a signed char
    } else if constexpr (std::is_floating_point_v<M>) {
      return sizeof(M) == sizeof(float) ? "f" : "d";
    } else if constexpr (sizeof(M) == 1) {
      return std::is_signed_v<M> ? "c" : "C";
    } else if constexpr (sizeof(M) == 2) {
      return std::is_signed_v<M> ? "s" : "S";
    } else if constexpr (sizeof(M) == 4) {
      return std::is_signed_v<M> ? "i" : "I";
    } else {
      return std::is_signed_v<M> ? "q" : "Q";
    }
  }

 private:
  template <class T>
  static PersistentProperty string(std::string name, std::string T::*member, std::string typeCode) {
    PersistentProperty property;
    property.name = std::move(name);
    property.typeCode = std::move(typeCode);
    property.get = [member](const PersistentObject& object) -> PersistentValue {
      const std::string& value = static_cast<const T&>(object).*member;
      if (value.empty()) return std::monostate{};
      return value;
    };
    property.set = [member](PersistentObject& object, const PersistentValue& value) {
      const auto* text = std::get_if<std::string>(&value);
      static_cast<T&>(object).*member = text != nullptr ? *text : std::string();
    };
    return property;
  }
};

}  // namespace velbor
