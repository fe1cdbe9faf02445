#pragma once
// The dialog operations a wizard controller works through, and the page events
// it answers. Pages are numbered from 0 in wizard order; controls are known by
// their numeric ids, which are unique within a page (the same id may recur on
// another page). Texts are UTF-8. The Qt implementation is QtWizardView; tests
// use a scripted view that records every state and message.

#include <functional>
#include <string>
#include <vector>

#include "gui/dialogview.h"

namespace Talvek {

// The wizard's standard buttons that a page can enable (Cancel always is).
enum WizardButton : unsigned {
    WizardBack = 1u,
    WizardNext = 2u,
    WizardFinish = 4u,  // takes Next's place
};

// Message boxes, file dialogs and the wait cursor (DialogView) belong to the
// current page.
class WizardView : public DialogView {
public:
    // A label's, edit's or button's text.
    virtual void setText(int page, int id, const std::string& text) = 0;
    // An edit's (or label's) text, whole: the controller decides what is too
    // long (a name is cut to its limit, a path too long is refused).
    virtual std::string text(int page, int id) = 0;
    // A hidden control keeps its text and state.
    virtual void setVisible(int page, int id, bool visible) = 0;
    // A disabled control is greyed and keeps its text and state.
    virtual void setEnabled(int page, int id, bool enabled) = 0;
    // Radio buttons and check boxes. Setting a state is not a click.
    virtual void setChecked(int page, int id, bool checked) = 0;
    virtual bool isChecked(int page, int id) = 0;

    // Drop-down lists.
    virtual void listAdd(int page, int id, const std::string& entry) = 0;
    virtual void listRemove(int page, int id, int index) = 0;
    virtual int listCount(int page, int id) = 0;
    virtual void listSelect(int page, int id, int index) = 0;
    // -1 when nothing is selected.
    virtual int listSelection(int page, int id) = 0;
    // Empty for an index outside the list.
    virtual std::string listEntryText(int page, int id, int index) = 0;

    // Which of WizardBack, WizardNext and WizardFinish the current page enables.
    virtual void setButtons(unsigned buttons) = 0;
};

// What a wizard controller answers. The view delivers, for each page: created
// once (the first time the page becomes current), shown every time it becomes
// current (also through Back), left every time it stops being current (Back,
// Next or Finish). Next is asked before the page is left; Finish only on the
// last page. Cancel closes the wizard without asking anything.
class WizardEvents {
public:
    virtual ~WizardEvents() = default;
    virtual void pageCreated(int page) = 0;
    virtual void pageShown(int page) = 0;
    virtual void pageLeft(int page) = 0;
    // True: advance to the next page; false: stay.
    virtual bool nextPressed(int page) = 0;
    // True: close the wizard; false: stay.
    virtual bool finishPressed(int page) = 0;
    // A button was pressed, an option chosen or a check box changed: by the
    // mouse, the keyboard or an assistive tool, once per change, with the new
    // state already set. States the controller sets itself are not reported.
    virtual void clicked(int page, int id) = 0;
};

}  // namespace Talvek
