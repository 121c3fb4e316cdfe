#ifndef PLOVERN_SFX_WIN_RESOURCES_H
#define PLOVERN_SFX_WIN_RESOURCES_H

// Shared by sfx.rc and the code that uses its resources.
#define IDD_PASSWORD 200
#define IDC_PASSWORD_TEXT 201
#define IDC_PASSWORD_EDIT 202

#endif // PLOVERN_SFX_WIN_RESOURCES_H
