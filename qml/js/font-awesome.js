.pragma library

var fontFamily = "FontAwesome";

var icons = {
    user_plus: "\uf234",
    chevron_left: "\uf053",
    warning: "\uf071",
    folder_open: "\uf07c",
    trash: "\uf1f8",
    edit: "\uf044"
};
