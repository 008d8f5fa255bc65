// A list whose items carry a tick box, drawn by the list itself.
#include "forms/controls.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "forms/form.h"
#include "forms/text_extent.h"

namespace forms {

TCheckListBox::TCheckListBox(TForm* owner, int id) : TWinControl(owner) {
  CreateChild("LISTBOX", "",
              WS_TABSTOP | WS_VSCROLL | WS_BORDER | LBS_OWNERDRAWFIXED | LBS_HASSTRINGS | LBS_NOTIFY |
                  LBS_NOINTEGRALHEIGHT,
              0, id);
  if (Handle_ != nullptr) SetWindowSubclass(Handle_, &TCheckListBox::ListProc, 1, reinterpret_cast<DWORD_PTR>(this));
}

void TCheckListBox::Clear() {
  if (Handle_ != nullptr) SendMessageA(Handle_, LB_RESETCONTENT, 0, 0);
}

int TCheckListBox::Add(const std::string& text) {
  if (Handle_ == nullptr) return -1;
  LRESULT index = SendMessageA(Handle_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  if (index >= 0) SendMessageA(Handle_, LB_SETITEMDATA, static_cast<WPARAM>(index), 0);
  return static_cast<int>(index);
}

int TCheckListBox::Count() const {
  return Handle_ != nullptr ? static_cast<int>(SendMessageA(Handle_, LB_GETCOUNT, 0, 0)) : 0;
}

std::string TCheckListBox::Item(int index) const {
  if (index < 0 || index >= Count()) return {};
  LRESULT length = SendMessageA(Handle_, LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(Handle_, LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

bool TCheckListBox::Checked(int index) const {
  if (index < 0 || index >= Count()) return false;
  return SendMessageA(Handle_, LB_GETITEMDATA, static_cast<WPARAM>(index), 0) != 0;
}

void TCheckListBox::SetChecked(int index, bool checked) {
  if (index < 0 || index >= Count()) return;
  SendMessageA(Handle_, LB_SETITEMDATA, static_cast<WPARAM>(index), checked ? 1 : 0);
  RECT r = ItemRect(index);
  InvalidateRect(Handle_, &r, FALSE);
}

void TCheckListBox::ToggleChecked(int index) {
  if (index < 0 || index >= Count()) return;
  SetChecked(index, !Checked(index));
  if (OnClickCheck) OnClickCheck();
  if (OnClick) OnClick();
}

int TCheckListBox::ItemIndex() const {
  return Handle_ != nullptr ? static_cast<int>(SendMessageA(Handle_, LB_GETCURSEL, 0, 0)) : -1;
}

void TCheckListBox::SetItemIndex(int index) {
  if (Handle_ != nullptr) SendMessageA(Handle_, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void TCheckListBox::SetItemHeight(int height) {
  ItemHeight_ = height;
  if (Handle_ == nullptr) return;
  const int fontHeight = MeasureText(Font.Handle(), "", 0).cy;
  SendMessageA(Handle_, LB_SETITEMHEIGHT, 0, std::max(Scale(height), fontHeight));
  InvalidateRect(Handle_, nullptr, TRUE);
}

void TCheckListBox::ScaleTo(int dpi) {
  TWinControl::ScaleTo(dpi);
  SetItemHeight(ItemHeight_);
}

RECT TCheckListBox::ItemRect(int index) const {
  RECT r = {0, 0, 0, 0};
  if (Handle_ != nullptr && index >= 0 && index < Count())
    SendMessageA(Handle_, LB_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&r));
  return r;
}

bool TCheckListBox::Command(UINT code) {
  if (code != LBN_SELCHANGE) return false;
  if (OnClick) OnClick();
  return true;
}

bool TCheckListBox::DrawItem(const DRAWITEMSTRUCT& item) {
  if (item.itemID == static_cast<UINT>(-1)) return true;
  const int index = static_cast<int>(item.itemID);
  const bool selected = (item.itemState & ODS_SELECTED) != 0;
  HDC dc = item.hDC;

  // The tick box keeps the window colour whatever the state.
  RECT box = item.rcItem;
  box.right = box.left + Scale(kCheckWidth);
  FillRect(dc, &box, GetSysColorBrush(COLOR_WINDOW));
  const int side = Scale(13);
  RECT frame = {box.left + Scale(2), box.top + (box.bottom - box.top - side) / 2, 0, 0};
  frame.right = frame.left + side;
  frame.bottom = frame.top + side;
  DrawFrameControl(dc, &frame, DFC_BUTTON,
                   DFCS_BUTTONCHECK | DFCS_FLAT | (Checked(index) ? DFCS_CHECKED : 0) |
                       (Enabled() ? 0 : DFCS_INACTIVE));

  RECT text = item.rcItem;
  text.left += Scale(kCheckWidth);
  {
    TCanvas canvas(dc, POINT{0, 0}, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW), &Font);
    canvas.SetTextColor(selected ? GetSysColor(COLOR_HIGHLIGHTTEXT) : Font.Color);
    if (OnDrawItem) {
      OnDrawItem(canvas, index, text, item.itemState);
    } else {
      canvas.FillRect(text);
      canvas.TextOut(text.left + Scale(2), text.top, Item(index));
    }
  }
  if (item.itemState & ODS_FOCUS) DrawFocusRect(dc, &text);
  return true;
}

// The tick handlers are the form's code: what they throw goes to the form's
// exception handler here, inside the subclass procedure.
void TCheckListBox::ToggleFromWindow(int index) noexcept {
  try {
    ToggleChecked(index);
  } catch (...) {
    if (Owner_ != nullptr) Owner_->HandleCurrentException();
  }
}

LRESULT CALLBACK TCheckListBox::ListProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                         DWORD_PTR self) {
  auto* list = reinterpret_cast<TCheckListBox*>(self);
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      // The list selects the item first; a press in the tick box then toggles it.
      LRESULT result = DefSubclassProc(window, message, wParam, lParam);
      LRESULT hit = SendMessageA(window, LB_ITEMFROMPOINT, 0, lParam);
      if (HIWORD(hit) == 0 && GET_X_LPARAM(lParam) < list->Scale(kCheckWidth) && IsWindowEnabled(window))
        list->ToggleFromWindow(LOWORD(hit));
      return result;
    }
    case WM_KEYDOWN:
      if (wParam == VK_SPACE) {
        list->ToggleFromWindow(list->ItemIndex());
        return 0;
      }
      break;
    case WM_CHAR:
      if (wParam == ' ') return 0;  // not a search for items starting with a blank
      break;
    case WM_NCDESTROY:
      RemoveWindowSubclass(window, &TCheckListBox::ListProc, 1);
      break;
    default: break;
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace forms
