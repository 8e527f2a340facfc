funcdef void F();
void render(float t) { bool b = function(){} is function(){}; }
