// The object runtime of the phone stand-in.
//
// Classes are registered by name and carry method tables keyed by interned selectors. Every
// message goes through msgSend, so a method replaced with MSHookMessageEx takes effect for every
// caller, platform code included. Objects are reference counted; the last release sends
// `dealloc` as an ordinary message, which is what lets a hook run before an object goes away.
//
// Choices where the real runtime leaves room, made the way the phone behaves:
// - A message to nil returns a zero value (value-initialised result) and runs nothing.
// - A message nobody implements prints "-[Class sel]: unrecognized selector sent to instance"
//   and aborts the process.
// - msgSend keeps its receiver alive for the duration of the call, so a method that drops the
//   last other reference to its receiver does not run on a freed object.
// - Implementations registered through the typed helpers remember their C++ signature; a
//   message sent with a different signature aborts with a clear message instead of calling a
//   function through the wrong type.
// - Everything runs on the main thread; reference counts are plain integers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <vector>

namespace objc {

struct Selector;
using SEL = const Selector*;
using IMP = void (*)();

class Object;
class Class_;
using id = Object*;
using Class = Class_*;

// Interned selectors: equal names give the same pointer.
SEL sel_registerName(std::string_view name);
const char* sel_getName(SEL sel);

// Interns a selector once per call site: SEL_("slideOpen:").
#define SEL_(name)                                                        \
    ([]() -> ::objc::SEL {                                                \
        static const ::objc::SEL cached = ::objc::sel_registerName(name); \
        return cached;                                                    \
    }())

class Object {
  public:
    Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    virtual ~Object() = default;

    Class isa = nullptr;
    int32_t retainCount = 1;
    bool deallocating = false;
    bool immortal = false;  // class objects
};

using Factory = Object* (*)();

struct Method {
    IMP imp = nullptr;
    std::string types;
    const std::type_info* signature = nullptr;  // null when registered untyped
    // The last call-site signature found equal to `signature` (type_info objects of one type
    // may differ between shared objects, and comparing them by name costs a string compare).
    mutable const std::type_info* verified = nullptr;
};

class Class_ : public Object {
  public:
    std::string name;
    Class superclass = nullptr;
    bool isMeta = false;
    Factory factory = nullptr;  // creates a bare instance (instance classes only)
    std::unordered_map<SEL, Method> methods;
    // Declared properties by name: their attribute text (class_addProperty).
    std::unordered_map<std::string, std::string> properties;

    // Per-class lookup cache, direct-mapped by selector; cleared whenever any method table
    // anywhere changes.
    static constexpr size_t kCacheSize = 64;
    struct CacheEntry {
        SEL sel = nullptr;
        const Method* method = nullptr;
    };
    mutable CacheEntry cache[kCacheSize];
    mutable uint64_t cacheGeneration = 0;
};

// --- Classes -----------------------------------------------------------------------------

// Registers a class and its metaclass. Registering a name twice returns the first class.
Class objc_registerClass(const char* name, Class superclass, Factory factory);
// The class with that name, or nullptr.
Class objc_getClass(const char* name);
Class NSClassFromString(std::string_view name);
Class object_getClass(id obj);
const char* class_getName(Class cls);
Class class_getSuperclass(Class cls);
bool class_respondsToSelector(Class cls, SEL sel);
bool respondsToSelector(id obj, SEL sel);
bool isKindOfClass(id obj, Class cls);
// The metaclass holds a class's class methods.
Class metaclassOf(Class cls);

// Creates an uninitialised instance with a retain count of 1 (the phone's +alloc).
id class_createInstance(Class cls);

// --- Methods -----------------------------------------------------------------------------

const Method* class_getMethod(Class cls, SEL sel);  // own or inherited
const Method* class_getOwnMethod(Class cls, SEL sel);

// Adds a method the class does not define itself; never replaces one. Returns whether it added.
bool class_addMethodRaw(Class cls, SEL sel, IMP imp, const char* types,
                        const std::type_info* signature);

template <class R, class... A>
bool class_addMethod(Class cls, SEL sel, R (*fn)(id, SEL, A...), const char* types) {
    return class_addMethodRaw(cls, sel, reinterpret_cast<IMP>(fn), types,
                              &typeid(R(*)(id, SEL, A...)));
}

// Replaces (or adds, for a method only inherited) and writes the previous implementation
// into *slot before the replacement can run. An absent class does nothing.
void MSHookMessageExRaw(Class cls, SEL sel, IMP replacement, IMP* slot,
                        const std::type_info* signature);

template <class R, class... A>
void MSHookMessageEx(Class cls, SEL sel, R (*replacement)(id, SEL, A...),
                     R (**slot)(id, SEL, A...)) {
    MSHookMessageExRaw(cls, sel, reinterpret_cast<IMP>(replacement), reinterpret_cast<IMP*>(slot),
                       &typeid(R(*)(id, SEL, A...)));
}

// Type text for a C++ signature in the runtime's encoding ("v@:", "@@:", "v@:@"...).
template <class T>
constexpr char encodeType() {
    using U = std::remove_cv_t<T>;
    if constexpr (std::is_void_v<U>)
        return 'v';
    else if constexpr (std::is_same_v<U, SEL>)
        return ':';
    else if constexpr (std::is_same_v<U, Class>)
        return '#';
    else if constexpr (std::is_pointer_v<U> && std::is_base_of_v<Object, std::remove_pointer_t<U>>)
        return '@';
    else if constexpr (std::is_same_v<U, bool>)
        return 'B';
    else if constexpr (std::is_same_v<U, int32_t>)
        return 'i';
    else if constexpr (std::is_same_v<U, int64_t> || std::is_same_v<U, long long>)
        return 'q';
    else if constexpr (std::is_same_v<U, float>)
        return 'f';
    else if constexpr (std::is_same_v<U, double>)
        return 'd';
    else if constexpr (std::is_pointer_v<U>)
        return '^';
    else
        return '{';  // a C++ value (string, struct)
}

template <class R, class... A>
std::string encodeSignature() {
    return std::string{encodeType<R>(), '@', ':', encodeType<A>()...};
}

// Adds an instance method from a typed function, with its type text derived from the types.
template <class R, class... A>
bool addMethod(Class cls, SEL sel, R (*fn)(id, SEL, A...)) {
    return class_addMethod(cls, sel, fn, encodeSignature<R, A...>().c_str());
}
template <class R, class... A>
bool addClassMethod(Class cls, SEL sel, R (*fn)(id, SEL, A...)) {
    return class_addMethod(metaclassOf(cls), sel, fn, encodeSignature<R, A...>().c_str());
}

// --- Properties ----------------------------------------------------------------------------

// Declares a property as @property does, by its attribute text: "T@\"UISwitch\",&,N" for a
// strong reference to a UISwitch. Code that connects objects by name (interface files) reads
// it to learn what the class expects. Returns false when the class already declares the name.
bool class_addProperty(Class cls, std::string_view name, std::string_view attributes);
// The attribute text of a property the class or a superclass declares; nullptr when none does.
const char* property_getAttributes(Class cls, std::string_view name);
// The class an object property holds ("T@\"UISwitch\",..." gives UISwitch); nullptr when the
// property is undeclared, holds no object, or names no registered class.
Class property_getObjectClass(Class cls, std::string_view name);

// --- Messaging ---------------------------------------------------------------------------

namespace detail {
// Bumped whenever any method table changes; class caches older than it start over.
extern uint64_t methodGeneration;
const Method* lookupSlow(id self, SEL sel);  // aborts on an unknown selector
// Marks the object as going away and sends it dealloc.
void deallocate(id obj);

inline const Method* lookupOrDie(id self, SEL sel) {
    const Class_* cls = self->isa;
    if (cls != nullptr && cls->cacheGeneration == methodGeneration) {
        const auto& slot = cls->cache[(reinterpret_cast<uintptr_t>(sel) >> 4) % Class_::kCacheSize];
        if (slot.sel == sel) return slot.method;
    }
    return lookupSlow(self, sel);
}
[[noreturn]] void signatureMismatch(id self, SEL sel, const std::type_info& sent);

template <class T>
inline constexpr bool isStrong = false;
// Retains the receiver for the message unless it is already going away (its dealloc is
// running); returns the object to release afterwards, or nullptr.
inline id keepAlive(id self) {
    if (self->immortal || self->deallocating) return nullptr;
    ++self->retainCount;
    return self;
}
void endKeepAlive(id self);

struct KeepAlive {
    id obj;
    explicit KeepAlive(id o) : obj(keepAlive(o)) {}
    ~KeepAlive() {
        if (obj != nullptr) endKeepAlive(obj);
    }
    KeepAlive(const KeepAlive&) = delete;
    KeepAlive& operator=(const KeepAlive&) = delete;
};
}  // namespace detail

template <class R = void, class... A>
R msgSend(id self, SEL sel, A... args) {
    static_assert((!detail::isStrong<A> && ...),
                  "a message argument is a plain id: pass strong.get() (its type must match the "
                  "method's signature)");
    if (self == nullptr) {
        if constexpr (std::is_void_v<R>)
            return;
        else
            return R{};
    }
    const Method* m = detail::lookupOrDie(self, sel);
    using Fn = R (*)(id, SEL, A...);
    if (m->signature != nullptr && m->verified != &typeid(Fn)) {
        if (*m->signature != typeid(Fn)) detail::signatureMismatch(self, sel, typeid(Fn));
        m->verified = &typeid(Fn);
    }
    detail::KeepAlive keep(self);
    return reinterpret_cast<Fn>(m->imp)(self, sel, args...);
}

// Whether instances of the class answer sel when sent it as msgSend<R>(obj, sel, A...) would,
// without the signature check aborting (a method added untyped answers any call).
template <class R, class... A>
bool class_answers(Class cls, SEL sel) {
    const Method* m = class_getMethod(cls, sel);
    return m != nullptr &&
           (m->signature == nullptr || *m->signature == typeid(R(*)(id, SEL, A...)));
}

// [super sel ...]: the implementation found from the given superclass up, for the receiver.
template <class R = void, class... A>
R msgSendSuper(Class superclass, id self, SEL sel, A... args) {
    static_assert((!detail::isStrong<A> && ...), "a message argument is a plain id");
    if (self == nullptr) {
        if constexpr (std::is_void_v<R>)
            return;
        else
            return R{};
    }
    const Method* m = class_getMethod(superclass, sel);
    if (m == nullptr) {
        if constexpr (std::is_void_v<R>)
            return;
        else
            return R{};
    }
    using Fn = R (*)(id, SEL, A...);
    if (m->signature != nullptr && m->verified != &typeid(Fn)) {
        if (*m->signature != typeid(Fn)) detail::signatureMismatch(self, sel, typeid(Fn));
        m->verified = &typeid(Fn);
    }
    return reinterpret_cast<Fn>(m->imp)(self, sel, args...);
}

// Calls a saved implementation directly (what a hook does with its slot).
template <class R, class... A>
R callImp(R (*imp)(id, SEL, A...), id self, SEL sel, A... args) {
    if (imp == nullptr) {
        if constexpr (std::is_void_v<R>)
            return;
        else
            return R{};
    }
    return imp(self, sel, args...);
}

// --- Reference counting --------------------------------------------------------------------

inline id objc_retain(id obj) {
    if (obj != nullptr && !obj->immortal && !obj->deallocating) ++obj->retainCount;
    return obj;
}
// The last release sends dealloc.
inline void objc_release(id obj) {
    if (obj == nullptr || obj->immortal || obj->deallocating) return;
    if (--obj->retainCount == 0) detail::deallocate(obj);
}
id objc_autorelease(id obj);

// A scope whose autoreleased objects are released when it ends (the run loop makes one for
// every pass). Pools nest.
class AutoreleasePool {
  public:
    AutoreleasePool();
    ~AutoreleasePool();
    AutoreleasePool(const AutoreleasePool&) = delete;
    AutoreleasePool& operator=(const AutoreleasePool&) = delete;
    void drain();

  private:
    size_t depth_;
};

// A strong reference for C++ code and for retained fields: retains what it holds, releases on
// reset, reassignment or destruction. It reads like the plain pointer it holds (it converts to
// T*, so it can be passed wherever an id is taken, compared and tested), and a field of type
// Strong<Object> can be cast down to a subclass pointer with static_cast, as an id can.
// Two things it will not do silently: take a raw pointer without saying whether the reference
// is adopted or retained, and travel as a message argument (msgSend refuses it at compile
// time; pass .get()). Beware that a temporary Strong gives a pointer only until the end of the
// expression that made it.
template <class T>
class Strong {
  public:
    Strong() = default;
    Strong(std::nullptr_t) {}
    // Takes over a +1 reference (from alloc/init or new).
    static Strong adopt(T* p) {
        Strong s;
        s.p_ = p;
        return s;
    }
    // Retains a reference owned elsewhere.
    static Strong retain(T* p) {
        objc_retain(p);
        return adopt(p);
    }
    Strong(const Strong& o) : p_(o.p_) { objc_retain(p_); }
    Strong(Strong&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    template <class U>
    requires std::is_convertible_v<U*, T*> Strong(const Strong<U>& o) : p_(o.get()) {
        objc_retain(p_);
    }
    template <class U>
    requires std::is_convertible_v<U*, T*> Strong(Strong<U>&& o)
    noexcept : p_(o.release()) {}
    // The new value is in place before the old one is released, so a dealloc that the release
    // sets off already sees the field changed.
    Strong& operator=(Strong o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Strong() { objc_release(p_); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    operator T*() const { return p_; }
    template <class U>
    requires(std::is_base_of_v<T, U> && !std::is_same_v<T, U>) explicit operator U*() const {
        return static_cast<U*>(p_);
    }
    void reset() { *this = Strong(); }
    // Gives up ownership without releasing: the caller now holds the +1 reference.
    T* release() {
        T* p = p_;
        p_ = nullptr;
        return p;
    }

  private:
    T* p_ = nullptr;
};

namespace detail {
template <class T>
inline constexpr bool isStrong<Strong<T>> = true;
}  // namespace detail

template <class T>
Strong<T> adopt(T* p) {
    return Strong<T>::adopt(p);
}
template <class T>
Strong<T> retained(T* p) {
    return Strong<T>::retain(p);
}

// --- The root class ----------------------------------------------------------------------

// NSObject: alloc (class method), init, dealloc (frees the object), description,
// respondsToSelector:, class. Other platform classes derive from it.
class NSObject : public Object {
  public:
    static Class cls();
};

// Called with every object just before the root class frees it (after all dealloc hooks ran),
// so registries that hold unretained references can forget it.
void addDeallocListener(void (*listener)(id obj));

// The description every object answers to ("<ClassName: 0x...>" unless overridden).
std::string describe(id obj);
// An address as descriptions print it ("0x55d0c2a4b2c0").
std::string addressText(const void* p);

// Convenience for C++ callers: alloc + init through the runtime.
id allocInit(Class cls);

// Registers a C++ class T deriving from Object. The factory creates a bare T.
template <class T>
Class registerCxxClass(const char* name, Class superclass) {
    return objc_registerClass(name, superclass, []() -> Object* { return new T(); });
}

}  // namespace objc
