// A control's accessible object with our name and description: the object the system makes for
// the control (CreateStdAccessibleObject), wrapped so that name and description of the control
// itself are ours and every other question goes to the system's object. The control hands the
// wrapper out when asked with WM_GETOBJECT, so a screen reader in another process gets it too.
#include "ui/win32/accessible.h"

#include <commctrl.h>
#include <oleacc.h>

#include <new>

namespace ui::win32 {

namespace {

struct Names {
  const wchar_t* name;
  const wchar_t* description;
};

bool is_self(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

// The answer for the control itself, or the system object's for a part of it.
HRESULT own_string(const wchar_t* text, BSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = ::SysAllocString(text);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

class NamedAccessible final : public IAccessible, public IOleWindow {
 public:
  NamedAccessible(HWND control, IAccessible* system, const Names& names)
      : control_(control), system_(system), names_(names) {}
  NamedAccessible(const NamedAccessible&) = delete;
  NamedAccessible& operator=(const NamedAccessible&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible)) {
      *out = static_cast<IAccessible*>(this);
    } else if (iid == __uuidof(IOleWindow)) {
      *out = static_cast<IOleWindow*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ::InterlockedIncrement(&refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IOleWindow: the window this object stands for (WindowFromAccessibleObject asks it).
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* out) override {
    if (out == nullptr) return E_POINTER;
    *out = control_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

  // IDispatch, as the system's object answers it.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    return system_->GetTypeInfoCount(count);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return system_->GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    return system_->GetIDsOfNames(iid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* bad_arg) override {
    return system_->Invoke(id, iid, lcid, flags, params, result, exception, bad_arg);
  }

  // IAccessible: name and description of the control itself are ours.
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
    return is_self(child) ? own_string(names_.name, out) : system_->get_accName(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
    return is_self(child) ? own_string(names_.description, out)
                          : system_->get_accDescription(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** out) override {
    return system_->get_accParent(out);
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* out) override {
    return system_->get_accChildCount(out);
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
    return system_->get_accChild(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
    return system_->get_accValue(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
    return system_->get_accRole(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
    return system_->get_accState(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* out) override {
    return system_->get_accHelp(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
    return system_->get_accHelpTopic(file, child, topic);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* out) override {
    return system_->get_accKeyboardShortcut(child, out);
  }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
    return system_->get_accFocus(out);
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
    return system_->get_accSelection(out);
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
    return system_->get_accDefaultAction(child, out);
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
    return system_->accSelect(flags, child);
  }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                        VARIANT child) override {
    return system_->accLocation(left, top, width, height, child);
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* out) override {
    return system_->accNavigate(direction, start, out);
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* out) override {
    return system_->accHitTest(x, y, out);
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
    return system_->accDoDefaultAction(child);
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override {
    return system_->put_accName(child, name);
  }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override {
    return system_->put_accValue(child, value);
  }

 private:
  ~NamedAccessible() { system_->Release(); }

  LONG refs_ = 1;
  HWND control_;
  IAccessible* system_;
  Names names_;
};

constexpr UINT_PTR kSubclassId = 0x6163;  // one subclass of ours per control

LRESULT CALLBACK answer_for_screen_readers(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR, DWORD_PTR data) {
  if (msg == WM_GETOBJECT && static_cast<LONG>(lParam) == OBJID_CLIENT) {
    IAccessible* system = nullptr;
    if (SUCCEEDED(::CreateStdAccessibleObject(hwnd, OBJID_CLIENT, __uuidof(IAccessible),
                                              reinterpret_cast<void**>(&system)))) {
      auto* named =
          new (std::nothrow) NamedAccessible(hwnd, system, *reinterpret_cast<const Names*>(data));
      if (named == nullptr) {
        system->Release();
      } else {
        // A reference to the object handed over, or a negative error code.
        const LRESULT answer =
            ::LresultFromObject(__uuidof(IAccessible), wParam, static_cast<IAccessible*>(named));
        named->Release();
        if (answer > 0) return answer;
      }
    }
  }
  if (msg == WM_NCDESTROY) {
    ::RemoveWindowSubclass(hwnd, answer_for_screen_readers, kSubclassId);
    delete reinterpret_cast<const Names*>(data);
  }
  return ::DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace

bool name_for_screen_readers(HWND control, const wchar_t* name, const wchar_t* description) {
  auto* names = new (std::nothrow) Names{name, description};
  if (names == nullptr) return false;
  if (!::SetWindowSubclass(control, answer_for_screen_readers, kSubclassId,
                           reinterpret_cast<DWORD_PTR>(names))) {
    delete names;
    return false;
  }
  return true;
}

}  // namespace ui::win32
