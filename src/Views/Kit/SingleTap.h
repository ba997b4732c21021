#pragma once

class QAbstractButton;

namespace tandrel {

// The second click of a double-click does nothing on this button: a double-click is one
// tap. (A button otherwise takes the double-click's second press as a new press, even when
// it has just come under the pointer because the row above it went away.)
void treatDoubleClickAsOneTap(QAbstractButton* button);

}  // namespace tandrel
