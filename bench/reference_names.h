// The reference program's window, distinct from the agent's so that both can run at once.
#pragma once

const char ReferenceClassName[] = "Keyvane Bench Reference";
const char ReferenceTitle[] = "Keyvane_Bench_Reference";
