#include "FK_HDTools.h"

#include <strings.h>

using objc::id;
using objc::msgSend;
using objc::SEL;
using platform::Dictionary;
using platform::Value;

namespace {

const Value* entry(const std::string& key, const Dictionary* d) {
    if (d == nullptr) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

std::string stringImp(id, SEL, std::string key, std::string def, const Dictionary* d) {
    const Value* v = entry(key, d);
    if (v == nullptr) return def;
    if (v->string()) return *v->string();
    if (v->isNumber()) return v->description();
    return def;
}

int32_t intImp(id, SEL, std::string key, int32_t def, const Dictionary* d) {
    const Value* v = entry(key, d);
    return v ? v->intValue().value_or(def) : def;
}

float floatImp(id, SEL, std::string key, float def, const Dictionary* d) {
    const Value* v = entry(key, d);
    return v ? v->floatValue().value_or(def) : def;
}

bool boolImp(id, SEL, std::string key, bool def, const Dictionary* d) {
    const Value* v = entry(key, d);
    if (v == nullptr) return def;
    if (auto b = v->boolValue()) return *b;
    if (const std::string* s = v->string()) {
        return ::strcasecmp(s->c_str(), "YES") == 0 || ::strcasecmp(s->c_str(), "TRUE") == 0;
    }
    return def;
}

}  // namespace

objc::Class FK_HDTools::cls() {
    static objc::Class c = [] {
        objc::Class k = objc::registerCxxClass<FK_HDTools>("FK_HDTools", objc::NSObject::cls());
        objc::addClassMethod(k, SEL_("stringForKey:defaultValue:dictionary:"), &stringImp);
        objc::addClassMethod(k, SEL_("intForKey:defaultValue:dictionary:"), &intImp);
        objc::addClassMethod(k, SEL_("floatForKey:defaultValue:dictionary:"), &floatImp);
        objc::addClassMethod(k, SEL_("boolForKey:defaultValue:dictionary:"), &boolImp);
        return k;
    }();
    return c;
}

std::string FK_HDTools::stringForKey(const std::string& key, const std::string& def,
                                     const Dictionary* d) {
    return msgSend<std::string>(cls(), SEL_("stringForKey:defaultValue:dictionary:"), key, def, d);
}
int32_t FK_HDTools::intForKey(const std::string& key, int32_t def, const Dictionary* d) {
    return msgSend<int32_t>(cls(), SEL_("intForKey:defaultValue:dictionary:"), key, def, d);
}
float FK_HDTools::floatForKey(const std::string& key, float def, const Dictionary* d) {
    return msgSend<float>(cls(), SEL_("floatForKey:defaultValue:dictionary:"), key, def, d);
}
bool FK_HDTools::boolForKey(const std::string& key, bool def, const Dictionary* d) {
    return msgSend<bool>(cls(), SEL_("boolForKey:defaultValue:dictionary:"), key, def, d);
}
