#include "platform/ui/nib.h"

#include <algorithm>
#include <cctype>

#include "platform/files/device_root.h"
#include "platform/ui/controls.h"
#include "platform/values/plist.h"

namespace platform {

using objc::id;
using objc::msgSend;

namespace {

struct Connection {
    enum Kind { Outlet, Action, DataSource, Delegate } kind;
    UIView* view;  // held by the tree being built
    std::string name;
    std::string element;
};

// Larger than any screen is high: a mistake, not a size.
constexpr double kMaxFontSize = 1000;

std::string setterFor(const std::string& outlet) {
    std::string s = "set" + outlet + ":";
    s[3] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[3])));
    return s;
}

class NibBuilder {
  public:
    NibBuilder(std::string file, std::string bundleDir)
        : file_(std::move(file)), bundleDir_(std::move(bundleDir)) {}

    // The view of one element and its subtree; none (with the reason kept) on any problem.
    objc::Strong<UIView> build(const Value& element, const std::string& parentPath) {
        const std::string here = parentPath.empty() ? "View" : parentPath;
        if (element.dictionary() == nullptr) return fail(here, "is not a dictionary");
        const Value* cls = element.find("Class");
        const Value* name = element.find("Name");
        const std::string label =
            here + (name && name->string() ? " '" + *name->string() + "'" : "");
        if (cls == nullptr || cls->string() == nullptr) return fail(label, "has no Class");
        objc::Class k = objc::objc_getClass(cls->string()->c_str());
        if (k == nullptr || !objc::class_respondsToSelector(k, SEL_("addSubview:")))
            return fail(label, "names no view class: " + *cls->string());
        const std::string path = label + " (" + *cls->string() + ")";
        auto v = objc::adopt(static_cast<UIView*>(objc::allocInit(k)));
        if (name && name->string()) v->accessibilityIdentifier = *name->string();
        if (const Value* frame = element.find("Frame")) {
            const Array* a = frame->array();
            if (a == nullptr || a->size() != 4 ||
                !std::all_of(a->begin(), a->end(), [](const Value& x) { return x.isNumber(); })) {
                return fail(path, "Frame must be four numbers: x, y, width, height");
            }
            v->frame = CGRectMake(*(*a)[0].doubleValue(), *(*a)[1].doubleValue(),
                                  *(*a)[2].doubleValue(), *(*a)[3].doubleValue());
        }
        if (const Value* props = element.find("Properties")) {
            if (props->dictionary() == nullptr)
                return fail(path, "Properties must be a dictionary");
            for (const auto& [key, val] : *props->dictionary()) {
                if (!apply(v, key, val))
                    return fail(path, "has an unknown or ill-typed property '" + key + "'");
            }
        }
        for (auto [key, kind] :
             {std::pair{"Outlet", Connection::Outlet}, std::pair{"Action", Connection::Action},
              std::pair{"DataSource", Connection::DataSource},
              std::pair{"Delegate", Connection::Delegate}}) {
            if (const Value* c = element.find(key)) {
                if (c->string() == nullptr)
                    return fail(path, std::string(key) + " must be a string");
                connections_.push_back({kind, v, *c->string(), path});
            }
        }
        if (const Value* subs = element.find("Subviews")) {
            if (subs->array() == nullptr) return fail(path, "Subviews must be a list");
            size_t i = 0;
            for (const Value& sub : *subs->array()) {
                auto child = build(sub, path + " > Subviews[" + std::to_string(i++) + "]");
                if (!child) return nullptr;
                msgSend(static_cast<id>(v.get()), SEL_("addSubview:"),
                        static_cast<id>(child.get()));
            }
        }
        return v;
    }

    // Checks every connection against the owner before making any.
    bool connect(id owner) {
        for (const auto& c : connections_) {
            if (std::string problem = check(c, owner); !problem.empty()) {
                fail(c.element, problem);
                return false;
            }
        }
        for (const auto& c : connections_) {
            id v = c.view;
            switch (c.kind) {
                case Connection::Outlet:
                    msgSend(owner, objc::sel_registerName(setterFor(c.name)), v);
                    break;
                case Connection::Action:
                    msgSend(v, SEL_("addTarget:action:"), owner, objc::sel_registerName(c.name));
                    break;
                case Connection::DataSource:
                    msgSend(v, SEL_("setDataSource:"), owner);
                    break;
                case Connection::Delegate:
                    msgSend(v, SEL_("setDelegate:"), owner);
                    break;
            }
        }
        return true;
    }

    Failure failure() const { return Failure{error_}; }

  private:
    // The first problem found is the one reported.
    std::nullptr_t fail(const std::string& element, const std::string& problem) {
        if (error_.empty()) error_ = file_ + ": element " + element + ": " + problem;
        return nullptr;
    }

    // What stops one connection; empty when it can be made. Whatever a connection will send
    // must be answered, with the arguments it will be sent: anything else aborts the process at
    // the first use (an unrecognized selector, a signature that does not match).
    static std::string check(const Connection& c, id owner) {
        const objc::Class ownerClass = objc::object_getClass(owner);
        switch (c.kind) {
            case Connection::Outlet:
                return checkOutlet(c, ownerClass);
            case Connection::Action:
                return checkAction(c, ownerClass);
            case Connection::DataSource:
            case Connection::Delegate:
                break;
        }
        return checkDelegate(c, ownerClass);
    }

    static std::string checkOutlet(const Connection& c, objc::Class ownerClass) {
        const std::string setter = setterFor(c.name);
        const SEL sel = objc::sel_registerName(setter);
        if (!objc::class_respondsToSelector(ownerClass, sel))
            return "the owner has no outlet '" + c.name + "'";
        if (!objc::class_answers<void, id>(ownerClass, sel))
            return "the owner's '" + setter + "' takes no view, so '" + c.name + "' is no outlet";
        const objc::Class expected = objc::property_getObjectClass(ownerClass, c.name);
        if (expected != nullptr && !objc::isKindOfClass(c.view, expected)) {
            return "is a " + std::string(objc::class_getName(objc::object_getClass(c.view))) +
                   ", but the owner's outlet '" + c.name + "' holds a " +
                   objc::class_getName(expected);
        }
        return "";
    }

    static std::string checkAction(const Connection& c, objc::Class ownerClass) {
        const SEL sel = objc::sel_registerName(c.name);
        if (!objc::class_respondsToSelector(ownerClass, sel))
            return "the owner has no action '" + c.name + "'";
        if (!objc::class_answers<void, id>(ownerClass, sel))
            return "the owner's '" + c.name + "' takes no sender, so it is no action";
        if (!objc::class_respondsToSelector(objc::object_getClass(c.view),
                                            SEL_("addTarget:action:")))
            return "is no control, so it cannot send '" + c.name + "'";
        return "";
    }

    // What a view will ask of its data source or delegate: required, or optional but then as it
    // is sent.
    struct Need {
        SEL sel;
        bool required;
        bool (*answers)(objc::Class, SEL);
    };

    static std::vector<Need> needsOf(id view, bool dataSource) {
        if (objc::isKindOfClass(view, UIPickerView::cls()) && dataSource) {
            return {
                {SEL_("numberOfComponentsInPickerView:"), true, &objc::class_answers<int64_t, id>},
                {SEL_("pickerView:numberOfRowsInComponent:"), true,
                 &objc::class_answers<int64_t, id, int64_t>}};
        }
        if (objc::isKindOfClass(view, UIPickerView::cls())) {
            return {{SEL_("pickerView:titleForRow:forComponent:"), false,
                     &objc::class_answers<std::string, id, int64_t, int64_t>},
                    {SEL_("pickerView:didSelectRow:inComponent:"), false,
                     &objc::class_answers<void, id, int64_t, int64_t>}};
        }
        if (objc::isKindOfClass(view, UIAlertView::cls())) {
            return {{SEL_("alertView:clickedButtonAtIndex:"), false,
                     &objc::class_answers<void, id, int64_t>}};
        }
        return {};
    }

    static std::string checkDelegate(const Connection& c, objc::Class ownerClass) {
        const objc::Class viewClass = objc::object_getClass(c.view);
        const std::string viewClassName = objc::class_getName(viewClass);
        const bool dataSource = c.kind == Connection::DataSource;
        if (c.name != "Owner") return "data source and delegate can only be 'Owner'";
        if (!objc::class_respondsToSelector(
                viewClass, dataSource ? SEL_("setDataSource:") : SEL_("setDelegate:")))
            return "is a " + viewClassName + ", which has no " +
                   (dataSource ? "data source" : "delegate");
        for (const Need& n : needsOf(c.view, dataSource)) {
            const bool answers = objc::class_respondsToSelector(ownerClass, n.sel);
            if ((n.required && !answers) || (answers && !n.answers(ownerClass, n.sel))) {
                return std::string("the owner cannot be its ") +
                       (dataSource ? "data source" : "delegate") + ": it does not answer '" +
                       objc::sel_getName(n.sel) + "' as a " + viewClassName + " asks";
            }
        }
        return "";
    }

    bool apply(UIView* v, const std::string& key, const Value& val) {
        if (key == "tag" && val.integer()) {
            v->tag = *val.integer();
        } else if (key == "hidden" && val.boolean()) {
            v->hidden = *val.boolean();
        } else if (key == "clipsToBounds" && val.boolean()) {
            v->clipsToBounds = *val.boolean();
        } else if (key == "text" && val.string() && objc::isKindOfClass(v, UILabel::cls())) {
            static_cast<UILabel*>(v)->text = *val.string();
        } else if (key == "fontSize" && val.isNumber() && objc::isKindOfClass(v, UILabel::cls())) {
            const double size = val.doubleValue().value_or(0);
            if (!(size > 0 && size <= kMaxFontSize)) return false;
            msgSend(static_cast<id>(v), SEL_("setFont:"),
                    msgSend<id>(UIFont::cls(), SEL_("systemFontOfSize:"), size));
        } else if (key == "title" && val.string() && objc::isKindOfClass(v, UIButton::cls())) {
            static_cast<UIButton*>(v)->title = *val.string();
        } else if (key == "on" && val.boolean() && objc::isKindOfClass(v, UISwitch::cls())) {
            static_cast<UISwitch*>(v)->on = *val.boolean();
        } else if (key == "image" && val.string() && objc::isKindOfClass(v, UIImageView::cls())) {
            // A missing image leaves the view empty, as on the phone.
            id image = msgSend<id>(UIImage::cls(), SEL_("imageWithContentsOfFile:"),
                                   device::appendPathComponent(bundleDir_, *val.string()));
            static_cast<UIImageView*>(v)->image = objc::retained(static_cast<UIImage*>(image));
        } else if (key == "contentSize" && val.array() && val.array()->size() == 2 &&
                   (*val.array())[0].isNumber() && (*val.array())[1].isNumber() &&
                   objc::isKindOfClass(v, UIScrollView::cls())) {
            static_cast<UIScrollView*>(v)->contentSize = {
                (*val.array())[0].doubleValue().value_or(0),
                (*val.array())[1].doubleValue().value_or(0)};
        } else {
            return false;
        }
        return true;
    }

    std::string file_;
    std::string bundleDir_;
    std::vector<Connection> connections_;
    std::string error_;
};

}  // namespace

Result<objc::Strong<UIView>> loadNib(const std::string& devicePath, id owner) {
    auto doc = plist::readDictionary(device::resolve(devicePath));
    if (!doc) {
        return Failure{devicePath +
                       ": missing, unreadable, or not a property list with a dictionary root"};
    }
    auto root = doc->find("View");
    if (root == doc->end()) return Failure{devicePath + ": has no View element"};
    const size_t slash = devicePath.find_last_of('/');
    NibBuilder builder(devicePath, devicePath.substr(0, slash == std::string::npos ? 0 : slash));
    objc::Strong<UIView> view = builder.build(root->second, "");
    if (!view || !builder.connect(owner)) return builder.failure();
    return view;
}

}  // namespace platform
