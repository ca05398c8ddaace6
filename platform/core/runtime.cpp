#include "platform/core/runtime.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/core/trace.h"
#include "platform/core/warn.h"

namespace objc {

struct Selector {
    std::string name;
};

namespace {

struct Registry {
    std::unordered_map<std::string, std::unique_ptr<Selector>> selectors;
    std::unordered_map<std::string, Class> classes;
};

Registry& registry() {
    static Registry* r = new Registry();  // never destroyed: objects may outlive static teardown
    return *r;
}

std::vector<std::vector<id>>& poolStack() {
    static thread_local std::vector<std::vector<id>> stack;
    return stack;
}

// Method pointers stay valid while a table only grows (std::unordered_map keeps its nodes), but
// a lookup may now find another method: every class cache starts over.
void methodsChanged() { ++detail::methodGeneration; }

std::vector<void (*)(id)>& deallocListeners() {
    static auto* l = new std::vector<void (*)(id)>();
    return *l;
}

// "-[Class sel]" or "+[Class sel]", as the diagnostics name a method.
std::string methodName(id self, SEL sel, bool isClass) {
    return std::string(isClass ? "+[" : "-[") + class_getName(self->isa) + " " + sel_getName(sel) +
           "]";
}

Class newClassObject(const char* name, Class superclass, bool meta) {
    auto* c = new Class_();
    c->name = name;
    c->superclass = superclass;
    c->isMeta = meta;
    c->immortal = true;
    return c;
}

// NSObject's methods.
id nsobject_alloc(id self, SEL) { return class_createInstance(static_cast<Class>(self)); }
id nsobject_init(id self, SEL) { return self; }
void nsobject_dealloc(id self, SEL) {
    for (auto listener : deallocListeners()) listener(self);
    delete self;
}
std::string nsobject_description(id self, SEL) {
    return std::string("<") + class_getName(object_getClass(self)) + ": " + addressText(self) + ">";
}
bool nsobject_respondsToSelector(id self, SEL, SEL sel) { return respondsToSelector(self, sel); }
Class nsobject_class(id self, SEL) {
    Class c = object_getClass(self);
    return c->isMeta ? static_cast<Class>(self) : c;
}
std::string nsobject_class_description(id self, SEL) { return static_cast<Class>(self)->name; }

}  // namespace

SEL sel_registerName(std::string_view name) {
    auto& sels = registry().selectors;
    std::string key(name);
    auto it = sels.find(key);
    if (it != sels.end()) return it->second.get();
    auto sel = std::make_unique<Selector>(Selector{key});
    SEL result = sel.get();
    sels.emplace(std::move(key), std::move(sel));
    return result;
}

const char* sel_getName(SEL sel) { return sel ? sel->name.c_str() : "<null selector>"; }

Class objc_registerClass(const char* name, Class superclass, Factory factory) {
    auto& classes = registry().classes;
    if (auto it = classes.find(name); it != classes.end()) return it->second;
    Class meta = newClassObject(name, superclass ? superclass->isa : nullptr, true);
    Class cls = newClassObject(name, superclass, false);
    cls->isa = meta;
    cls->factory = factory;
    classes.emplace(name, cls);
    if (superclass == nullptr) {
        // A root class: its metaclass inherits from the class itself, so class objects answer
        // the root's instance methods (description, respondsToSelector:...).
        meta->superclass = cls;
        meta->isa = meta;
    } else {
        meta->isa = superclass->isa->isa;
    }
    methodsChanged();
    return cls;
}

Class objc_getClass(const char* name) {
    if (name == nullptr) return nullptr;
    auto& classes = registry().classes;
    auto it = classes.find(name);
    return it == classes.end() ? nullptr : it->second;
}

Class NSClassFromString(std::string_view name) { return objc_getClass(std::string(name).c_str()); }

Class object_getClass(id obj) { return obj ? obj->isa : nullptr; }
const char* class_getName(Class cls) { return cls ? cls->name.c_str() : "nil"; }
Class class_getSuperclass(Class cls) { return cls ? cls->superclass : nullptr; }
Class metaclassOf(Class cls) { return cls ? cls->isa : nullptr; }

const Method* class_getOwnMethod(Class cls, SEL sel) {
    if (cls == nullptr) return nullptr;
    auto it = cls->methods.find(sel);
    return it == cls->methods.end() ? nullptr : &it->second;
}

const Method* class_getMethod(Class cls, SEL sel) {
    if (cls == nullptr) return nullptr;
    const uint64_t gen = detail::methodGeneration;
    if (cls->cacheGeneration != gen) {
        for (auto& e : cls->cache) e = {};
        cls->cacheGeneration = gen;
    }
    auto& slot = cls->cache[(reinterpret_cast<uintptr_t>(sel) >> 4) % Class_::kCacheSize];
    if (slot.sel == sel) return slot.method;
    const Method* found = nullptr;
    for (Class c = cls; c != nullptr && found == nullptr; c = c->superclass) {
        found = class_getOwnMethod(c, sel);
    }
    if (found != nullptr) slot = {sel, found};
    return found;
}

bool class_respondsToSelector(Class cls, SEL sel) { return class_getMethod(cls, sel) != nullptr; }
bool respondsToSelector(id obj, SEL sel) {
    return obj != nullptr && class_respondsToSelector(obj->isa, sel);
}

bool isKindOfClass(id obj, Class cls) {
    for (Class c = object_getClass(obj); c != nullptr; c = c->superclass) {
        if (c == cls) return true;
    }
    return false;
}

id class_createInstance(Class cls) {
    if (cls == nullptr || cls->isMeta) return nullptr;
    Factory f = nullptr;
    for (Class c = cls; c != nullptr && f == nullptr; c = c->superclass) f = c->factory;
    if (f == nullptr) return nullptr;
    id obj = f();
    obj->isa = cls;
    obj->retainCount = 1;
    return obj;
}

bool class_addProperty(Class cls, std::string_view name, std::string_view attributes) {
    if (cls == nullptr || name.empty()) return false;
    return cls->properties.emplace(std::string(name), std::string(attributes)).second;
}

const char* property_getAttributes(Class cls, std::string_view name) {
    const std::string key(name);
    for (Class c = cls; c != nullptr; c = c->superclass) {
        if (auto it = c->properties.find(key); it != c->properties.end()) return it->second.c_str();
    }
    return nullptr;
}

Class property_getObjectClass(Class cls, std::string_view name) {
    const char* attributes = property_getAttributes(cls, name);
    if (attributes == nullptr) return nullptr;
    // The type comes first: T@"ClassName"
    const std::string_view a(attributes);
    if (!a.starts_with("T@\"")) return nullptr;
    const size_t end = a.find('"', 3);
    if (end == std::string_view::npos) return nullptr;
    return objc_getClass(std::string(a.substr(3, end - 3)).c_str());
}

bool class_addMethodRaw(Class cls, SEL sel, IMP imp, const char* types,
                        const std::type_info* signature) {
    if (cls == nullptr || sel == nullptr || imp == nullptr) return false;
    if (cls->methods.count(sel) != 0) return false;
    cls->methods.emplace(sel, Method{imp, types ? types : "", signature});
    methodsChanged();
    if (platform::tracing()) {
        platform::trace(platform::events::Bookkeeping{std::string("method added: ") +
                                                      (cls->isMeta ? "+[" : "-[") + cls->name +
                                                      " " + sel->name + "]"});
    }
    return true;
}

void MSHookMessageExRaw(Class cls, SEL sel, IMP replacement, IMP* slot,
                        const std::type_info* signature) {
    if (cls == nullptr || sel == nullptr || replacement == nullptr) return;
    if (platform::tracing()) {
        platform::trace(platform::events::Bookkeeping{std::string("hook installed: ") +
                                                      (cls->isMeta ? "+[" : "-[") + cls->name +
                                                      " " + sel->name + "]"});
    }
    auto own = cls->methods.find(sel);
    if (own != cls->methods.end()) {
        if (slot) *slot = own->second.imp;
        own->second.imp = replacement;
        if (signature) own->second.signature = signature;
    } else {
        // Only inherited (or nowhere): the override goes on the class itself and the slot
        // holds what the class answered with before, so the superclass keeps its own.
        const Method* inherited = class_getMethod(cls, sel);
        if (slot) *slot = inherited ? inherited->imp : nullptr;
        cls->methods.emplace(
            sel, Method{replacement, inherited ? inherited->types : "",
                        signature ? signature : (inherited ? inherited->signature : nullptr)});
    }
    methodsChanged();
}

namespace detail {

uint64_t methodGeneration = 1;

const Method* lookupSlow(id self, SEL sel) {
    const Method* m = class_getMethod(self->isa, sel);
    if (m == nullptr) {
        const bool isClass = self->isa != nullptr && self->isa->isMeta;
        platform::warn(methodName(self, sel, isClass),
                       std::string("unrecognized selector sent to ") +
                           (isClass ? "class " : "instance ") + addressText(self));
        std::abort();
    }
    return m;
}

void signatureMismatch(id self, SEL sel, const std::type_info& sent) {
    platform::warn(methodName(self, sel, false),
                   std::string("message sent with the wrong argument types (") + sent.name() + ")");
    std::abort();
}

void endKeepAlive(id self) { objc_release(self); }

void deallocate(id obj) {
    obj->deallocating = true;
    msgSend(obj, SEL_("dealloc"));
}

}  // namespace detail

id objc_autorelease(id obj) {
    if (obj == nullptr) return nullptr;
    auto& stack = poolStack();
    if (stack.empty()) {
        platform::warn("objc", std::string(class_getName(object_getClass(obj))) + " " +
                                   addressText(obj) +
                                   " autoreleased with no pool in place - just leaking");
        return obj;
    }
    stack.back().push_back(obj);
    return obj;
}

AutoreleasePool::AutoreleasePool() : depth_(poolStack().size()) { poolStack().emplace_back(); }

void AutoreleasePool::drain() {
    // Releasing may autorelease more objects into this pool; keep going until it is empty.
    auto& stack = poolStack();
    while (!stack[depth_].empty()) {
        std::vector<id> batch;
        batch.swap(stack[depth_]);
        for (id obj : batch) objc_release(obj);
    }
}

AutoreleasePool::~AutoreleasePool() {
    drain();
    poolStack().resize(depth_);
}

Class NSObject::cls() {
    static Class c = [] {
        Class k = registerCxxClass<NSObject>("NSObject", nullptr);
        addClassMethod(k, SEL_("alloc"), &nsobject_alloc);
        addClassMethod(k, SEL_("description"), &nsobject_class_description);
        addMethod(k, SEL_("init"), &nsobject_init);
        addMethod(k, SEL_("dealloc"), &nsobject_dealloc);
        addMethod(k, SEL_("description"), &nsobject_description);
        addMethod(k, SEL_("respondsToSelector:"), &nsobject_respondsToSelector);
        addMethod(k, SEL_("class"), &nsobject_class);
        return k;
    }();
    return c;
}

void addDeallocListener(void (*listener)(id obj)) { deallocListeners().push_back(listener); }

std::string addressText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

std::string describe(id obj) {
    if (obj == nullptr) return "(null)";
    return msgSend<std::string>(obj, SEL_("description"));
}

id allocInit(Class cls) {
    id obj = msgSend<id>(cls, SEL_("alloc"));
    return msgSend<id>(obj, SEL_("init"));
}

}  // namespace objc
