// Whether an X server answers on $DISPLAY, asked before the toolkit starts.
#pragma once

namespace tolva {

bool x11ServerAnswers();

} // namespace tolva
