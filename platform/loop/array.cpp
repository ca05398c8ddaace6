#include "platform/loop/array.h"

namespace platform {

using objc::id;
using objc::SEL;

namespace {

int32_t array_count(id self, SEL) {
    return static_cast<int32_t>(static_cast<NSArray*>(self)->items().size());
}

id array_objectAtIndex(id self, SEL, int32_t i) {
    const auto& items = static_cast<NSArray*>(self)->items();
    return i >= 0 && static_cast<size_t>(i) < items.size() ? items[static_cast<size_t>(i)].get()
                                                           : nullptr;
}

std::string array_description(id self, SEL) {
    const auto& items = static_cast<NSArray*>(self)->items();
    std::string out = "(\n";
    for (size_t i = 0; i < items.size(); ++i) {
        out += "    " + objc::describe(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
    }
    return out + ")";
}

}  // namespace

objc::Class NSArray::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<NSArray>("NSArray", objc::NSObject::cls());
        objc::addMethod(k, SEL_("count"), &array_count);
        objc::addMethod(k, SEL_("objectAtIndex:"), &array_objectAtIndex);
        objc::addMethod(k, SEL_("description"), &array_description);
        return k;
    }();
    return c;
}

NSArray* NSArray::create(std::vector<id> items) {
    auto* a = static_cast<NSArray*>(objc::class_createInstance(cls()));
    a->items_.reserve(items.size());
    for (id item : items) a->items_.push_back(objc::retained(item));
    return a;
}

}  // namespace platform
