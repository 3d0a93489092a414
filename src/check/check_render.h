// The check tool's two reports of the same facts: plain text for a person
// at an 80-column console, and one JSON object for inventory scripts.
#pragma once

#include "check/check_decide.h"
#include "check/check_facts.h"
#include "check/text_out.h"

void RenderText(const CheckFacts& facts, const CheckVerdict& verdict, Out* out);
void RenderJson(const CheckFacts& facts, const CheckVerdict& verdict, Out* out);
